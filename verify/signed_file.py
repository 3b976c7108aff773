"""The bytes a signature covers, in a PE image or a package."""
import array
import hashlib
import os
import struct
import sys
from typing import NamedTuple, Optional

from release.tools import run_tool, write_file
from verify.untrusted import NotARelease

HERE = os.path.dirname(os.path.abspath(__file__))


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


# WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the DER.
ENTRY = struct.Struct("<IHH")
REVISION_2 = 0x0200
PKCS_SIGNED_DATA = 0x0002


def der_length(der: bytes) -> int:
    """The length of the DER element der starts with, as its header claims."""
    if len(der) < 2 or der[0] != 0x30 or der[1] == 0x80 or der[1] > 0x84:
        return len(der)
    if der[1] < 0x80:
        return 2 + der[1]
    count = der[1] - 0x80
    return 2 + count + int.from_bytes(der[2:2 + count], "big")


def signature(image: bytes) -> Optional[bytes]:
    """The DER signature in the certificate table's first entry, or None."""
    _, _, offset, size = certificate_table(image)
    if size == 0:
        return None
    der = image[offset + 8:offset + size]
    return der[:der_length(der)]


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


def is_signed(image: bytes) -> bool:
    return signature(image) is not None


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


def osslsigncode(command: str, options: list, data: bytes, work: str,
                 any_status: bool = False, pass_fds: tuple = ()) -> Made:
    """What `osslsigncode COMMAND OPTIONS -in -out` makes of data; with
    any_status, a file written is taken whatever the status; pass_fds, the
    descriptors it inherits."""
    given = write_file(os.path.join(work, "in.exe"), data)
    made = os.path.join(work, "out.exe")
    if os.path.exists(made):
        os.unlink(made)
    run = run_tool(["osslsigncode", command] + options + ["-in", given, "-out", made], text=True,
                   pass_fds=pass_fds)
    if (run.returncode != 0 and not any_status) or not os.path.exists(made):
        return Made(None, run.stdout + run.stderr)
    with open(made, "rb") as f:
        return Made(f.read(), run.stdout + run.stderr)
