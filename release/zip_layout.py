"""The release zip's layout, for the steps that write, sign and check it."""
import hashlib
import io
import time
import zipfile

from release.package_facts import ARCHITECTURES


EXECUTABLES = tuple("%s/portcheck.exe" % name for name in ARCHITECTURES)
TEXTS = ("README.txt", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt", "BUILDINFO.txt")
NAMES = tuple(sorted(TEXTS + ("SHA256SUMS",))) + EXECUTABLES
MODES = {name: 0o755 if name.endswith(".exe") else 0o644 for name in NAMES}


def checksums(files: dict) -> bytes:
    return "".join("%s  %s\n" % (hashlib.sha256(files[name]).hexdigest(), name)
                   for name in EXECUTABLES + TEXTS).encode("ascii")


def zip_bytes(top: str, files: dict, modes: dict, epoch: int) -> bytes:
    stamp = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name in sorted(files):
            entry = zipfile.ZipInfo("%s/%s" % (top, name), date_time=stamp)
            entry.create_system = 3  # the permissions below are Unix ones
            entry.external_attr = (0o100000 | modes[name]) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, files[name], compresslevel=9)
    return buffer.getvalue()
