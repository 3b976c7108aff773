"""Every runnable module of the release, given wrong arguments: its usage on
standard error and status 2, never a traceback."""
import os
import subprocess
import sys
import unittest

RELEASE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "release")


class WrongArguments(unittest.TestCase):
    def test_usage_and_status_2(self):
        for module, arguments in (("make_zip.py", ["1.0.0"]), ("make_msi.py", []),
                                  ("describe.py", ["a.zip", "folder", "signed"]),
                                  ("describe.py", ["a.zip", "f", "--download-url", "http://x"]),
                                  ("linked_runtime.py", ["check"]),
                                  ("rebuild_clean.py", ["compare", "a.zip"]),
                                  ("verify_release.py", ["a.zip"]),
                                  ("sign_release.py", [])):
            done = subprocess.run([sys.executable, "-B", os.path.join(RELEASE, module)]
                                  + arguments, capture_output=True, text=True,
                                  stdin=subprocess.DEVNULL)
            self.assertEqual(done.returncode, 2, module)
            self.assertIn("usage", done.stderr.lower(), module)
            self.assertNotIn("Traceback", done.stderr, module)


if __name__ == "__main__":
    unittest.main()
