"""The bytes a signature covers, in a PE image or a package."""
import array
import hashlib
import os
import struct
import sys
from typing import Optional

from release.authenticode_tool import (ENTRY, PKCS_SIGNED_DATA, REVISION_2, certificate_table,
                                       signature)
from release.tools import run_tool, write_file
from release.zip_reading import NotARelease

HERE = os.path.dirname(os.path.abspath(__file__))


def table_problem(image: bytes) -> Optional[str]:
    """None when the certificate table is exactly one PKCS#7 entry, padded with
    zeros to the 8-byte boundary the format asks: Windows reads only the
    first entry, so bytes beyond it would ride along unchecked."""
    _, _, offset, size = certificate_table(image)
    if size == 0:
        return None
    if offset + size > len(image) or offset < 0x40 or size < ENTRY.size:
        return "its certificate table (%d bytes at %d) does not lie within the file's %d " \
               "bytes" % (size, offset, len(image))
    length, revision, kind = ENTRY.unpack_from(image, offset)
    if (revision, kind) != (REVISION_2, PKCS_SIGNED_DATA):
        return "its certificate table's entry is of revision %#06x and type %#06x, not a " \
               "PKCS#7 signature (revision 2.0, type 2)" % (revision, kind)
    der = signature(image)
    entry_end = offset + ENTRY.size + len(der)
    if not ENTRY.size + len(der) <= length <= size:
        return "its certificate table's entry claims %d bytes, its signature takes %d and " \
               "the table holds %d" % (length, ENTRY.size + len(der), size)
    padded_end = entry_end + (-entry_end % 8)
    if offset + size > padded_end:
        at = offset + length + (-length % 8)
        second = at + ENTRY.size <= offset + size and ENTRY.unpack_from(image, at)[1] in (
            0x0100, REVISION_2)
        return "its certificate table holds %s after its signature: %d bytes that Windows " \
               "does not read and nothing checks" % (
                   "a second entry (WIN_CERTIFICATE)" if second else "other bytes",
                   offset + size - entry_end)
    if image[entry_end:offset + size].strip(b"\0"):
        return "its certificate table pads its signature with bytes that are not zeros"
    return None


def pe_checksum(image: bytes, at: int) -> int:
    """The optional header's CheckSum: the 16-bit ones' complement sum of the
    file (the field itself taken as zero), plus its length."""
    words = array.array("H")
    words.frombytes(image[:at] + b"\0\0\0\0" + image[at + 4:] + b"\0" * (len(image) % 2))
    if sys.byteorder == "big":
        words.byteswap()
    total = sum(words)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def attached(image: bytes, der: bytes) -> bytes:
    """An unsigned image with der attached as Authenticode tools attach it:
    the file padded to 8 bytes, one entry padded to 8, the table's directory
    entry and the checksum set."""
    checksum, directory, _, size = certificate_table(image)
    if size:
        raise NotARelease("already signed")
    body = image + b"\0" * (-len(image) % 8)
    length = ENTRY.size + len(der) + (-len(der) % 8)
    signed = bytearray(body + ENTRY.pack(length, REVISION_2, PKCS_SIGNED_DATA) + der
                       + b"\0" * (-len(der) % 8))
    struct.pack_into("<II", signed, directory, len(body), length)
    struct.pack_into("<I", signed, checksum, pe_checksum(bytes(signed), checksum))
    return bytes(signed)


def unsigned_image(image: bytes) -> bytes:
    """The image with its certificate table cut off and its header as before signing."""
    checksum, directory, offset, size = certificate_table(image)
    if not size or offset > len(image):
        return image
    unsigned = bytearray(image[:offset])
    struct.pack_into("<II", unsigned, directory, 0, 0)
    struct.pack_into("<I", unsigned, checksum, pe_checksum(bytes(unsigned), checksum))
    return bytes(unsigned)


def image_digest(image: bytes, algorithm: str) -> bytes:
    """Of all but the checksum, the table's directory entry and the table."""
    checksum, directory, offset, size = certificate_table(image)
    if not size:
        offset = len(image)
    digest, view = hashlib.new(algorithm), memoryview(image)  # no copy of a large image
    for start, end in ((0, checksum), (checksum + 4, directory), (directory + 8, offset),
                       (offset + size, len(image))):
        digest.update(view[start:max(start, end)])
    return digest.digest()


def package_digest(package: bytes, algorithm: str, work: str):
    """As Windows computes it over the streams: the digest, or a reason (str)."""
    given = write_file(os.path.join(work, "digested.msi"), package)
    done = run_tool([sys.executable, "-B", os.path.join(HERE, "msi_streams.py"), "--digest",
                     algorithm, given], text=True)
    said = dict(line.split(": ", 1) for line in done.stdout.splitlines() if ": " in line)
    if done.returncode == 0 and "digest" in said:
        return bytes.fromhex(said["digest"])
    return said.get("reason", "its compound file cannot be read")
