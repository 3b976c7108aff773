"""Where a PE image keeps its Authenticode signature, and running
osslsigncode: what signing a release and checking one both need."""
import os
import struct
from typing import NamedTuple, Optional

from release.tools import run_tool, write_file
from release.hostile_input import NotARelease


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
    return entry_signature(image[offset:offset + size]) if size else None


def entry_signature(table: bytes) -> bytes:
    """The DER signature in the first entry of a certificate table's bytes."""
    der = table[ENTRY.size:]
    return der[:der_length(der)]


def is_signed(image: bytes) -> bool:
    return signature(image) is not None


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
