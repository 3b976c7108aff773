"""Short (8.3) names as Windows Installer's Filename type wants them."""
import unittest

from release.make_msi import is_short, with_short_name


class ShortNames(unittest.TestCase):
    def test_valid_short_names(self):
        for name, short in (("README.txt", True), ("LICENSE.txt", True), ("PORTCH~1.EXE", True),
                            ("portcheck.exe", False), ("Zelnar Port Check", False),
                            ("A.B.C", False), ("TOOLONGEXT.text", False), ("x.", False),
                            ("", False)):
            self.assertEqual(is_short(name), short, name)

    def test_generated_short_forms_are_unique(self):
        taken = set()
        self.assertEqual([with_short_name(name, taken) for name in (
            "portcheck.exe", "portcheck2.exe", "THIRD-PARTY-NOTICES.txt", "README.txt",
            "Zelnar Port Check", "a|b")],
            ["PORTCH~1.EXE|portcheck.exe", "PORTCH~2.EXE|portcheck2.exe",
             "THIRD-~1.TXT|THIRD-PARTY-NOTICES.txt", "README.txt",
             "ZELNAR~1|Zelnar Port Check", "a|b"])


if __name__ == "__main__":
    unittest.main()
