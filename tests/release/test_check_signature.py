"""scripts/check-signature.sh's reading of a file before any signature is
judged: an image is never read whole, so each bound on what is read has a
case; every one a line in words and its status, never a traceback or a wait."""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
TABLE_DIRECTORY = 0x40 + 24 + 112 + 4 * 8  # a PE32+ image's security directory entry


def image(offset=0, size=0, length=0x400) -> bytes:
    """A PE32+ image's headers, its certificate table's directory entry set."""
    data = bytearray(length)
    data[:2], data[0x40:0x44] = b"MZ", b"PE\0\0"
    struct.pack_into("<I", data, 0x3C, 0x40)
    struct.pack_into("<H", data, 0x40 + 24, 0x20B)
    struct.pack_into("<II", data, TABLE_DIRECTORY, offset, size)
    return bytes(data)


class Reading(unittest.TestCase):
    def test_bounds(self):
        work = tempfile.mkdtemp(dir=os.environ.get("PORTCHECK_TEST_WORK"))
        huge = os.path.join(work, "huge.exe")
        with open(huge, "wb") as f:  # sparse: no disk, and nothing of it may be read
            f.write(image())
            f.truncate((1 << 32) + 1)
        fifo = os.path.join(work, "fifo.exe")
        os.mkfifo(fifo)
        for title, data, status, words in (
                ("an unsigned image", image(), 2, "NOT SIGNED: a PE image that is not signed"),
                ("an image over 4 GiB", huge, 2, "NOT SIGNED: it is 4294967297 bytes"),
                ("a FIFO", fifo, 2, "NOT SIGNED: it is a FIFO"),
                ("neither image nor package", b"#!/bin/sh\n", 2, "NOT SIGNED: neither a PE"),
                ("a certificate table of 2 MiB", image(0x400, 2 << 20, 0x400 + (2 << 20)), 1,
                 "REFUSED: its certificate table is 2097152 bytes"),
                ("a certificate table beyond the file's end", image(0x400, 0x100), 1,
                 "REFUSED: its certificate table (256 bytes at 1024) does not lie within")):
            with self.subTest(title):
                path = data if isinstance(data, str) else os.path.join(work, "image.exe")
                if not isinstance(data, str):
                    with open(path, "wb") as f:
                        f.write(data)
                done = subprocess.run([sys.executable, "-B", os.path.join(
                    TOP, "verify", "check_signature.py"), path], capture_output=True, text=True,
                    stdin=subprocess.DEVNULL, timeout=60)
                self.assertEqual(done.returncode, status, done.stdout + done.stderr)
                self.assertIn(words, done.stdout)
                self.assertNotIn("Traceback", done.stderr)


if __name__ == "__main__":
    unittest.main()
