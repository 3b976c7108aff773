"""scripts/check-signature.sh's reading of a file before any signature is
judged: no file is read whole, so each bound on what is read has a case, and
so has a file that grows while it is read and a package whose reader runs
out of memory; every one a line in words and its status, never a traceback
or a wait."""
import contextlib
import hashlib
import io
import os
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

from verify import check_signature

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
TABLE_DIRECTORY = 0x40 + 24 + 112 + 4 * 8  # a PE32+ image's security directory entry
# The address space the checker and its reader are given: judging a signed
# package of 100 MiB stays well within it, a package's directory as large
# does not (olefile holds a directory whole, and twice while it joins it).
MEMORY = 64 << 20
SECTOR = 4096


def image(offset=0, size=0, length=0x400) -> bytes:
    """A PE32+ image's headers, its certificate table's directory entry set."""
    data = bytearray(length)
    data[:2], data[0x40:0x44] = b"MZ", b"PE\0\0"
    struct.pack_into("<I", data, 0x3C, 0x40)
    struct.pack_into("<H", data, 0x40 + 24, 0x20B)
    struct.pack_into("<II", data, TABLE_DIRECTORY, offset, size)
    return bytes(data)


def signed_image(padding: bytes = b"\0") -> bytes:
    """An image whose certificate table holds one entry of a DER that is no
    signature, padded to 8 bytes with padding."""
    der = bytes.fromhex("3003020100")
    entry = struct.pack("<IHH", 8 + len(der), 0x0200, 2) + der
    entry += padding * (-len(entry) % 8)
    return image(0x400, len(entry), 0x400) + entry


def compound(path: str, size: int, stream: tuple = None) -> None:
    """A compound file (4 KiB sectors) whose directory is size bytes: the
    root's entry, the entry of stream (its name, the size it claims) as its
    child, then empty ones, left unwritten (a sparse file)."""
    directory = size // SECTOR
    fat = -(-(directory + 1) // (SECTOR // 4 - 1))
    header = bytes.fromhex("d0cf11e0a1b11ae1") + bytes(16) + struct.pack(
        "<HHHHH6xIIIIIIIII", 0x3E, 4, 0xFFFE, 12, 6, 0, fat, fat, 0, SECTOR, 0xFFFFFFFE, 0,
        0xFFFFFFFE, 0) + struct.pack("<109I", *(list(range(fat)) + [0xFFFFFFFF] * (109 - fat)))
    chain = [0xFFFFFFFD] * fat + list(range(fat + 1, fat + directory)) + [0xFFFFFFFE]
    table = struct.pack("<%dI" % len(chain), *chain)
    entries = b""
    for name, kind, child, length in (("Root Entry", 5, 1 if stream else 0xFFFFFFFF, 0),) + (
            ((stream[0], 2, 0xFFFFFFFF, stream[1]),) if stream else ()):
        entries += name.encode("utf-16-le").ljust(64, b"\0") + struct.pack(
            "<HBBIII16sIQQIQ", 2 * len(name) + 2, kind, 1, 0xFFFFFFFF, 0xFFFFFFFF, child,
            bytes(16), 0, 0, 0, 0xFFFFFFFE, length)
    with open(path, "wb") as f:
        f.write(header.ljust(SECTOR, b"\0"))
        f.write(table.ljust(fat * SECTOR, b"\xff"))
        f.write(entries)
        f.truncate((1 + fat + directory) * SECTOR)


def large_package(path: str, size: int) -> None:
    """A compound file (4 KiB sectors) of one stream of size zero bytes, its
    sectors left unwritten (a sparse file)."""
    count = size // SECTOR
    fat = -(-(count + 1) // (SECTOR // 4 - 1))
    header = bytes.fromhex("d0cf11e0a1b11ae1") + bytes(16) + struct.pack(
        "<HHHHH6xIIIIIIIII", 0x3E, 4, 0xFFFE, 12, 6, 1, fat, fat, 0, SECTOR, 0xFFFFFFFE, 0,
        0xFFFFFFFE, 0) + struct.pack("<109I", *(list(range(fat)) + [0xFFFFFFFF] * (109 - fat)))
    chain = [0xFFFFFFFD] * fat + [0xFFFFFFFE] + list(range(fat + 2, fat + 1 + count)) + [
        0xFFFFFFFE]
    entries = b""
    for name, kind, child, start, length in (("Root Entry", 5, 1, 0xFFFFFFFE, 0),
                                             ("Big", 2, 0xFFFFFFFF, fat + 1, size)):
        entries += name.encode("utf-16-le").ljust(64, b"\0") + struct.pack(
            "<HBBIII16sIQQIQ", 2 * len(name) + 2, kind, 1, 0xFFFFFFFF, 0xFFFFFFFF, child,
            bytes(16), 0, 0, 0, start, length)
    with open(path, "wb") as f:
        f.write(header.ljust(SECTOR, b"\0"))
        f.write(struct.pack("<%dI" % len(chain), *chain).ljust(fat * SECTOR, b"\xff"))
        f.write(entries.ljust(SECTOR, b"\0"))
        f.truncate((2 + fat + count) * SECTOR)


def limited_memory():
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY, MEMORY))


class Reading(unittest.TestCase):
    def test_bounds(self):
        work = tempfile.mkdtemp(dir=os.environ.get("PORTCHECK_TEST_WORK"))
        huge = os.path.join(work, "huge.exe")
        with open(huge, "wb") as f:  # sparse: no disk, and nothing of it may be read
            f.write(image())
            f.truncate((1 << 32) + 1)
        fifo = os.path.join(work, "fifo.exe")
        os.mkfifo(fifo)
        signature = os.path.join(work, "signature.msi")
        compound(signature, SECTOR, ("\x05DigitalSignature", 2 << 20))
        for title, data, status, words in (
                ("an unsigned image", image(), 2, "NOT SIGNED: a PE image that is not signed"),
                ("an image over 4 GiB", huge, 2, "NOT SIGNED: it is 4294967297 bytes"),
                ("a FIFO", fifo, 2, "NOT SIGNED: it is a FIFO"),
                ("neither image nor package", b"#!/bin/sh\n", 2, "NOT SIGNED: neither a PE"),
                ("a certificate table of 2 MiB", image(0x400, 2 << 20, 0x400 + (2 << 20)), 1,
                 "REFUSED: its certificate table is 2097152 bytes"),
                ("a certificate table padded with other bytes than zeros", signed_image(b"x"), 1,
                 "REFUSED: its certificate table pads its signature with bytes that are not"),
                ("a certificate table beyond the file's end", image(0x400, 0x100), 1,
                 "REFUSED: its certificate table (256 bytes at 1024) does not lie within"),
                ("a package's signature stream of 2 MiB", signature, 1, "REFUSED: its "
                 "signature's stream (DigitalSignature) is 2097152 bytes")):
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

    def test_a_file_that_grows_while_it_is_judged(self):
        work = tempfile.mkdtemp(dir=os.environ.get("PORTCHECK_TEST_WORK"))
        self.addCleanup(shutil.rmtree, work)
        path = os.path.join(work, "growing.exe")
        with open(path, "wb") as f:
            f.write(signed_image())
        judge = check_signature.judge

        def judge_and_grow(*arguments):
            with open(path, "ab") as f:
                f.write(bytes(8))
            return judge(*arguments)

        shown = io.StringIO()
        with mock.patch.object(check_signature, "judge", judge_and_grow), \
                contextlib.redirect_stdout(shown):
            status = check_signature.checked(path, None, work)
        self.assertEqual((status, shown.getvalue()), (check_signature.REFUSED, "%s: REFUSED: it "
                         "changed while it was read (1040 bytes, then 1048)\n" % path))

    def test_an_image_digested_in_bounded_memory(self):
        """A 256 MiB image's digest taken under a 64 MiB address space."""
        work = tempfile.mkdtemp(dir=os.environ.get("PORTCHECK_TEST_WORK"))
        self.addCleanup(shutil.rmtree, work)
        path = os.path.join(work, "large.exe")
        with open(path, "wb") as f:  # sparse: no disk
            f.write(image())
            f.truncate(256 << 20)
        done = subprocess.run([sys.executable, "-B", "-c", "import sys\n"
                               "from release.authenticode_tool import certificate_table\n"
                               "from verify.signed_file import ImageFile, image_digest\n"
                               "f = open(sys.argv[1], 'rb')\n"
                               "table = certificate_table(f.read(4096))\n"
                               "print(image_digest(ImageFile(f, 256 << 20, table, b''), "
                               "'sha256').hex())", path], capture_output=True, text=True,
                              cwd=TOP, stdin=subprocess.DEVNULL, timeout=60,
                              preexec_fn=limited_memory)
        head, want = image(), hashlib.sha256()  # all but the checksum and the directory entry
        want.update(head[:0x40 + 24 + 64] + head[0x40 + 24 + 68:TABLE_DIRECTORY]
                    + head[TABLE_DIRECTORY + 8:])
        for _ in range(256):
            want.update(bytes((1 << 20) - (len(head) if _ == 0 else 0)))
        want = want.hexdigest()
        self.assertEqual((done.returncode, done.stdout.strip()), (0, want), done.stderr)

    def test_a_package_digested_in_bounded_memory(self):
        """A package of 100 MiB, its digest taken under a 64 MiB address space."""
        work = tempfile.mkdtemp(dir=os.environ.get("PORTCHECK_TEST_WORK"))
        self.addCleanup(shutil.rmtree, work)
        path = os.path.join(work, "large.msi")
        large_package(path, 100 << 20)
        done = subprocess.run([sys.executable, "-B", os.path.join(
            TOP, "verify", "msi_streams.py"), "--digest", "sha256", path], capture_output=True,
            text=True, stdin=subprocess.DEVNULL, timeout=60, preexec_fn=limited_memory)
        want = hashlib.sha256()
        for _ in range(100):
            want.update(bytes(1 << 20))
        want.update(bytes(16))  # the root's class ID, after its one stream
        self.assertEqual((done.returncode, done.stdout), (0, "digest: %s\n" % want.hexdigest()))

    def test_a_package_whose_reader_runs_out_of_memory(self):
        work = tempfile.mkdtemp(dir=os.environ.get("PORTCHECK_TEST_WORK"))
        self.addCleanup(shutil.rmtree, work)
        path = os.path.join(work, "directory.msi")
        compound(path, MEMORY)
        done = subprocess.run([sys.executable, "-B", os.path.join(
            TOP, "verify", "check_signature.py"), path], capture_output=True, text=True,
            stdin=subprocess.DEVNULL, timeout=60, preexec_fn=limited_memory)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (2, "%s: NOT SIGNED: not "
                         "a readable Windows Installer package (its reader ran out of the %d MiB "
                         "of memory it may take)\n" % (path, MEMORY >> 20), ""))


if __name__ == "__main__":
    unittest.main()
