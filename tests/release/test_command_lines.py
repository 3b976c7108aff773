"""Every runnable module of the release and of the checker, given wrong arguments: its usage on
standard error and status 2, never a traceback."""
import os
import subprocess
import unittest

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


class WrongArguments(unittest.TestCase):
    def test_usage_and_status_2(self):
        for module, arguments in (("release/make_zip.py", ["1.0.0"]), ("release/make_msi.py", []),
                                  ("release/describe.py", ["a.zip", "folder", "signed"]),
                                  ("release/describe.py", ["a.zip", "f", "--download-url",
                                                           "http://x"]),
                                  ("release/linked_runtime.py", ["check"]),
                                  ("release/package_facts.py", ["--no-such-option"]),
                                  ("release/rebuild_clean.py", ["compare", "a.zip"]),
                                  ("release/sign_release.py", []),
                                  ("release/sign_release.py", ["a.zip", "-pkcs12", "k.p12",
                                                               "-h", "sha1"]),
                                  ("release/sign_release.py", ["a.zip", "-pkcs11module", "m.so",
                                                               "-key", "pkcs11:object=k"]),
                                  ("verify/verify_release.py", []),
                                  ("verify/verify_release.py", ["--commit", "", "a.zip"]),
                                  ("verify/verify_release.py", ["--ca-file", "", "a.zip"]),
                                  ("verify/verify_release.py", ["--commit", "x", "a.zip", "b.zip"]),
                                  ("verify/msi_streams.py", ["a.msi"]),
                                  ("verify/check_signature.py", []),
                                  ("verify/check_signature.py", ["--ca-file", "", "a.exe"])):
            with self.subTest(module, arguments=arguments):
                # Started as a maintainer starts it: the file itself, by its first line.
                done = subprocess.run([os.path.join(TOP, module)] + arguments,
                                      capture_output=True, text=True, stdin=subprocess.DEVNULL,
                                      env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
                self.assertEqual(done.returncode, 2)
                self.assertIn("usage", done.stderr.lower())
                self.assertNotIn("Traceback", done.stderr)


if __name__ == "__main__":
    unittest.main()
