"""The makers (release/) use nothing of the download checker (verify/): the
checker may build its reference with the makers, never the other way round."""
import ast
import glob
import os
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


if __name__ == "__main__":
    unittest.main()
