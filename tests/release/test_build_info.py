"""The build records: their text, reading them back, where the full one lies."""
import unittest

from release.build_info import build_info, parse
from release.package_facts import record_path


class BuildInfo(unittest.TestCase):
    def test_text_and_reading_it_back(self):
        text = build_info("1.0.0", "ab" * 20, 1700000000, "bookworm",
                          ["cmake 3.25.1-1", "zlib1g:amd64 1:1.2"])
        self.assertEqual(text, b"portcheck 1.0.0\r\ncommit " + b"ab" * 20 + b"\r\n"
                         b"source-date-epoch 1700000000\r\ndebian-suite bookworm\r\n"
                         b"built-with cmake 3.25.1-1\r\nbuilt-with zlib1g:amd64 1:1.2\r\n")
        self.assertEqual(parse(text), {"portcheck": "1.0.0", "commit": "ab" * 20,
                                       "source-date-epoch": "1700000000",
                                       "debian-suite": "bookworm",
                                       "built-with": {"cmake": "3.25.1-1",
                                                      "zlib1g:amd64": "1:1.2"}})

    def test_unknown_and_broken_lines_are_left_out(self):
        self.assertEqual(parse(b"commit x\r\nhost evil\r\n\xff\xfe\r\nbuilt-with\r\n"),
                         {"commit": "x", "built-with": {"": ""}})

    def test_the_full_record_lies_beside_the_zip(self):
        self.assertEqual(record_path("/d/portcheck-1.0.0-windows.zip"),
                         "/d/portcheck-1.0.0-windows.buildinfo")


if __name__ == "__main__":
    unittest.main()
