"""The makers (release/) use nothing of the download checker (verify/): the
checker may build its reference with the makers, never the other way round.
And check-signature.sh, which rebuilds nothing, needs no maker: it imports
none that builds a package and installs no compiler, CMake or wixl."""
import ast
import glob
import os
import re
import subprocess
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def checker_imports(path):
    with open(path) as f:
        tree = ast.parse(f.read(), path)
    names = [alias.name for node in ast.walk(tree) if isinstance(node, ast.Import)
             for alias in node.names]
    names += [node.module or "" for node in ast.walk(tree) if isinstance(node, ast.ImportFrom)]
    return [name for name in names if name == "verify" or name.startswith("verify.")]


class Boundary(unittest.TestCase):
    def test_no_maker_imports_the_checker(self):
        found = {os.path.relpath(path, TOP): checker_imports(path)
                 for path in sorted(glob.glob(os.path.join(TOP, "release", "*.py")))}
        self.assertGreater(len(found), 10)
        self.assertEqual({path: names for path, names in found.items() if names}, {})

    def test_check_signature_needs_no_maker(self):
        done = subprocess.run(["/usr/bin/python3", "-B", "-c", "import sys, verify.check_signature"
                               "; print(sorted({'release.make_msi', 'gi'} & set(sys.modules)))"],
                              cwd=TOP, capture_output=True, text=True, stdin=subprocess.DEVNULL)
        self.assertEqual((done.stdout, done.stderr), ("[]\n", ""))
        with open(os.path.join(TOP, "scripts", "check-signature.sh")) as f:
            installs = re.findall(r"^ensure_packages \$(\w+)$", f.read(), re.M)
        listed = subprocess.run(["sh", "-c", '. scripts/common.sh; eval "echo \\$$1"', "sh"]
                                + installs, cwd=TOP, capture_output=True, text=True).stdout.split()
        self.assertEqual(len(installs), 1)
        self.assertIn("python3-asn1crypto", listed)
        self.assertEqual([name for name in listed if re.search(r"g\+\+|gcc|clang|mingw|cmake|"
                                                                r"^make$|wixl", name)], [])


if __name__ == "__main__":
    unittest.main()
