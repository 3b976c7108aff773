"""The build record a clean root is made of: only Debian's own syntax."""
import os
import tempfile
import unittest

from release.rebuild_clean import checked_record, recorded
from release.hostile_input import NotARelease

GENUINE = (b"portcheck 1.0.0\r\ncommit " + b"ab" * 20 + b"\r\nsource-date-epoch 1700000000\r\n"
           b"debian-suite trixie\r\nbuilt-with zlib1g:amd64 1:1.3.dfsg+really1.3.1-1+deb13u1\r\n")


class Record(unittest.TestCase):
    def test_only_debian_names_and_versions_reach_apt(self):
        self.assertEqual(checked_record(GENUINE), GENUINE.decode().replace("\r", ""))
        for title, line in (("an option for a package", b"built-with -oAPT::Get::x=y 1"),
                            ("an option of a package name's letters", b"built-with --purge 1"),
                            ("a second word after the version", b"built-with zlib1g 1.2 x"),
                            ("a path for a suite", b"debian-suite ../../x"),
                            ("a line of no kind a record holds", b"Built-With zlib1g 1"),
                            ("a package name of one letter", b"built-with z 1")):
            with self.subTest(title), self.assertRaisesRegex(NotARelease, "names no Debian"):
                checked_record(GENUINE + line + b"\r\n")
        with self.assertRaisesRegex(NotARelease, "more than once"):
            checked_record(GENUINE + b"commit unknown\r\n")
        with self.assertRaisesRegex(NotARelease, "65537 bytes; a genuine one"):
            checked_record(GENUINE + b"x" * (65537 - len(GENUINE)))

    def test_the_record_beside_a_package_is_checked_too(self):
        folder = tempfile.mkdtemp(dir=os.environ.get("PORTCHECK_TEST_WORK"))
        with open(os.path.join(folder, "portcheck-1.0.0-windows.buildinfo"), "wb") as f:
            f.write(GENUINE + b"built-with -oAPT::Get::x=y 1\r\n")
        with self.assertRaisesRegex(NotARelease, "names no Debian"):
            recorded(os.path.join(folder, "portcheck-1.0.0-x64.msi"))


if __name__ == "__main__":
    unittest.main()
