"""Reading a package's cabinet by hand, within bounds; what of a package
its signature covers."""
import struct
import types
import unittest
import zlib

from release.hostile_input import NotARelease
from verify.msi_streams import SIGNATURE, children
from verify.verify_msi import cabinet_files


def cabinet(files, method=1, size_delta=0):
    """An MSZIP (method 1) or stored (0) cabinet of one folder and one block."""
    data = b"".join(files.values())
    block = b"CK" + zlib.compress(data)[2:-4] if method == 1 else data
    names = b""
    offset = 0
    for name, content in files.items():
        names += struct.pack("<IIHHHH", len(content), offset, 0, 0, 0, 0x20) + name + b"\0"
        offset += len(content)
    files_at = 36 + 8
    start = files_at + len(names)
    header = struct.pack("<4s4xI4xI4xBBHHHHH", b"MSCF", 0, files_at, 3, 1, 1, len(files), 0,
                         0, 0)
    folder = struct.pack("<IHH", start, 1, method)
    body = names + struct.pack("<IHH", 0, len(block), len(data)) + block
    whole = header + folder + body
    return whole[:8] + struct.pack("<I", len(whole) + size_delta) + whole[12:]


class Cabinet(unittest.TestCase):
    def test_files_come_out_as_they_went_in(self):
        files = {b"portcheck.exe": b"MZ" + bytes(100), b"README.txt": b"read me\r\n"}
        for method in (0, 1):
            self.assertEqual(cabinet_files(cabinet(files, method)),
                             {"portcheck.exe": b"MZ" + bytes(100), "README.txt": b"read me\r\n"})

    def test_malformed_cabinets_are_refused_in_words(self):
        good = cabinet({b"a": b"x" * 50})
        for title, data, word in (
                ("not a cabinet", b"MSCX" + good[4:], "not a cabinet of one folder"),
                ("a size that lies", cabinet({b"a": b"x"}, size_delta=1),
                 "not a cabinet of one folder"),
                ("cut short", good[:-10], "cannot be read"),
                ("an unknown method", good[:42] + b"\x03\x00" + good[44:], "compression method 3")):
            with self.assertRaises(NotARelease, msg=title) as caught:
                cabinet_files(data)
            self.assertIn(word, str(caught.exception), title)


class Covered(unittest.TestCase):
    def test_only_the_top_storage_leaves_a_signature_out(self):
        # Windows leaves out only the package's own signature; one in a
        # storage below is content like any other, and so is covered.
        stream = types.SimpleNamespace(name_utf16=SIGNATURE, namelength=len(SIGNATURE) + 2)
        storage = types.SimpleNamespace(kids=[stream])
        self.assertEqual((children(storage, True), children(storage, False)), ([], [stream]))


if __name__ == "__main__":
    unittest.main()
