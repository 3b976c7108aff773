"""The bytes a signature covers, in a PE image or a package."""
import hashlib
import os
import struct
from typing import NamedTuple, Optional

from tools import run_tool, write_file
from untrusted import NotARelease


class CertificateTable(NamedTuple):
    checksum: int   # the header checksum's offset
    directory: int  # the table's directory entry's offset
    offset: int     # the table's own offset and size
    size: int


class Made(NamedTuple):
    data: Optional[bytes]  # None when osslsigncode made nothing
    said: str


def certificate_table(image: bytes) -> CertificateTable:
    try:
        header = struct.unpack_from("<I", image, 0x3C)[0]
        if image[:2] != b"MZ" or image[header:header + 4] != b"PE\0\0":
            raise NotARelease("not a Windows executable")
        optional = header + 24
        magic = struct.unpack_from("<H", image, optional)[0]
        directory = optional + {0x10B: 96, 0x20B: 112}[magic] + 4 * 8
        offset, size = struct.unpack_from("<II", image, directory)
    except (struct.error, KeyError):
        raise NotARelease("not a Windows executable") from None
    return CertificateTable(optional + 64, directory, offset, size)


def signature(image: bytes) -> bytes:
    """The DER signature in the certificate table, or None."""
    _, _, offset, size = certificate_table(image)
    if size == 0:
        return None
    # A WIN_CERTIFICATE: its length, revision and type, then the DER, padded.
    der = image[offset + 8:offset + size]
    if len(der) < 4 or der[0] != 0x30 or not 0x81 <= der[1] <= 0x84:
        return der
    length_bytes = der[1] - 0x80
    return der[:2 + length_bytes + int.from_bytes(der[2:2 + length_bytes], "big")]


def is_signed(image: bytes) -> bool:
    return signature(image) is not None


def image_digest(image: bytes, algorithm: str) -> bytes:
    """Of all but the checksum, the table's directory entry and the table."""
    checksum, directory, offset, size = certificate_table(image)
    if not size:
        offset = len(image)
    return hashlib.new(algorithm, image[:checksum] + image[checksum + 4:directory]
                       + image[directory + 8:offset] + image[offset + size:]).digest()


def package_digest(package: bytes, algorithm: str, work: str) -> bytes:
    """As osslsigncode computes it over the streams; None when it gives none."""
    # Imported here: signing imports this module too, and needs no ASN.1 library.
    from signature_reader import Unreadable, read_content
    made = osslsigncode("extract-data", ["-h", algorithm], package, work).data
    try:
        return None if made is None else read_content(made)["digest"].native
    except Unreadable:
        return None


def osslsigncode(command: str, options: list, data: bytes, work: str,
                 any_status: bool = False) -> Made:
    """What `osslsigncode COMMAND OPTIONS -in -out` makes of data; with
    any_status, a file written is taken whatever the status."""
    given = write_file(os.path.join(work, "in.exe"), data)
    made = os.path.join(work, "out.exe")
    if os.path.exists(made):
        os.unlink(made)
    run = run_tool(["osslsigncode", command] + options + ["-in", given, "-out", made], text=True)
    if (run.returncode != 0 and not any_status) or not os.path.exists(made):
        return Made(None, run.stdout + run.stderr)
    with open(made, "rb") as f:
        return Made(f.read(), run.stdout + run.stderr)
