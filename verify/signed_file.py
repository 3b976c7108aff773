"""The bytes a signature covers, in a PE image or a package."""
import array
import hashlib
import struct
import sys
from typing import BinaryIO, NamedTuple, Optional, Union

from release.authenticode_tool import (ENTRY, PKCS_SIGNED_DATA, REVISION_2, CertificateTable,
                                       certificate_table, entry_signature)
from release.hostile_input import NotARelease
from verify.msi_streams import READ_CHUNK, reader


class ImageFile(NamedTuple):
    """A PE image judged from its open file, which may be far larger than is
    worth holding: its certificate table is held, the rest read again, a
    chunk at a time, for each digest."""
    file: BinaryIO
    size: int
    table: CertificateTable
    entries: bytes  # the certificate table's bytes


class PackageFile(NamedTuple):
    """A package judged from its copy in the work folder, which may be far
    larger than is worth holding: msi_streams.py reads it for each digest."""
    path: str


def table_problem(image: bytes) -> Optional[str]:
    table = certificate_table(image)
    return entries_problem(table, len(image), image[table.offset:table.offset + table.size])


# The DOS header that every image begins with: no table lies within it.
DOS_HEADER = 0x40


def entries_problem(table: CertificateTable, length: int, entries: bytes) -> Optional[str]:
    """None when the certificate table (entries, its bytes, in an image of
    length bytes) is exactly one PKCS#7 entry, padded with zeros to the 8-byte
    boundary the format asks: Windows reads only the first entry, so bytes
    beyond it would ride along unchecked."""
    _, _, offset, size = table
    if size == 0:
        return None
    if offset + size > length or offset < DOS_HEADER or size < ENTRY.size:
        return "its certificate table (%d bytes at %d) does not lie within the file's %d " \
               "bytes" % (size, offset, length)
    entry_length, revision, kind = ENTRY.unpack_from(entries, 0)
    if (revision, kind) != (REVISION_2, PKCS_SIGNED_DATA):
        return "its certificate table's entry is of revision %#06x and type %#06x, not a " \
               "PKCS#7 signature (revision 2.0, type 2)" % (revision, kind)
    entry_end = ENTRY.size + len(entry_signature(entries))
    if not entry_end <= entry_length <= size:
        return "its certificate table's entry claims %d bytes, its signature takes %d and " \
               "the table holds %d" % (entry_length, entry_end, size)
    if size > entry_end + (-(offset + entry_end) % 8):
        at = entry_length + (-entry_length % 8)
        second = at + ENTRY.size <= size and ENTRY.unpack_from(entries, at)[1] in (
            0x0100, REVISION_2)
        return "its certificate table holds %s after its signature: %d bytes that Windows " \
               "does not read and nothing checks" % (
                   "a second entry (WIN_CERTIFICATE)" if second else "other bytes",
                   size - entry_end)
    if entries[entry_end:].strip(b"\0"):
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


def digested(table: CertificateTable, length: int) -> list:
    """(start, end) of what an image's digest covers: all but the checksum,
    the table's directory entry and the table."""
    checksum, directory, offset, size = table
    if not size:
        offset = length
    return [(start, max(start, end)) for start, end in (
        (0, checksum), (checksum + 4, directory), (directory + 8, offset),
        (offset + size, length))]


def image_digest(image: Union[bytes, ImageFile], algorithm: str) -> bytes:
    digest = hashlib.new(algorithm)
    if isinstance(image, ImageFile):
        for start, end in digested(image.table, image.size):
            image.file.seek(start)
            while start < end:
                chunk = image.file.read(min(end - start, READ_CHUNK))
                if not chunk:
                    raise NotARelease("it was cut short while it was read")
                digest.update(chunk)
                start += len(chunk)
        return digest.digest()
    view = memoryview(image)  # no copy of a large image
    for start, end in digested(certificate_table(image), len(image)):
        digest.update(view[start:end])
    return digest.digest()


def package_digest(package: PackageFile, algorithm: str) -> tuple:
    """(the digest as Windows computes it over the streams, or why it cannot
    be computed (str); None, or why a package of that digest is refused)."""
    said = reader(["--digest", algorithm, package.path])
    if isinstance(said, str):
        return said, None
    if "digest" not in said:
        return "its reader gave no digest", None
    return bytes.fromhex(said["digest"]), "the names, class IDs, state bits, times or sizes of " \
        "its streams and storages are not those its extended signature " \
        "(MsiDigitalSignatureEx) records" if "metadata" in said else None
