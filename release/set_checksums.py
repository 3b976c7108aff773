"""<version>[-signed]-SHA256SUMS beside a release's files: the sums of every
file a user can download in that set (the zip, both MSIs and the SBOM), by
name. Written by the describe step (describe.py)."""
import hashlib
import os

from package_facts import ARCHITECTURES, msi_name, sbom_name, version_of
from untrusted import read_zip


def sums(zip_path: str, folder: str, signed: bool) -> tuple:
    """(the sums file's path, its bytes) for the set in folder."""
    top, _, _, _ = read_zip(zip_path)
    version = version_of(top)
    sbom = sbom_name(zip_path)
    names = sorted([os.path.basename(zip_path)] + [msi_name(version, architecture, signed)
                                                   for architecture in ARCHITECTURES]
                   + ([sbom] if os.path.exists(os.path.join(folder, sbom)) else []))
    lines = []
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            lines.append("%s  %s\n" % (hashlib.sha256(f.read()).hexdigest(), name))
    path = os.path.join(folder, "%s%s-SHA256SUMS" % (top, "-signed" if signed else ""))
    return path, "".join(lines).encode("ascii")
