#!/usr/bin/python3
"""<version>[-signed]-SHA256SUMS beside a release's files: the sums of every
file a user can download in that set (the zip, both MSIs and the SBOM), by
name.
Arguments: the zip, the folder that holds the set, and --signed for the
signed set. Prints the file's path."""
import argparse
import hashlib
import os
import sys

from package_facts import ARCHITECTURES, msi_name, version_of
from safe_output import finish_output, open_output
from untrusted import read_zip


def main(arguments):
    parser = argparse.ArgumentParser(prog="set_checksums.py", description="Writes the "
                                     "SHA256SUMS of a release's set.")
    parser.add_argument("zip")
    parser.add_argument("folder")
    parser.add_argument("--signed", action="store_true", help="the signed set")
    given = parser.parse_args(arguments)
    zip_path, folder, signed = given.zip, given.folder, given.signed
    top, _, _, _ = read_zip(zip_path)
    version = version_of(top)
    sbom = os.path.basename(zip_path)[:-len(".zip")] + ".cdx.json"
    names = sorted([os.path.basename(zip_path)] + [msi_name(version, architecture, signed)
                                                   for architecture in ARCHITECTURES]
                   + ([sbom] if os.path.exists(os.path.join(folder, sbom)) else []))
    lines = []
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            lines.append("%s  %s\n" % (hashlib.sha256(f.read()).hexdigest(), name))
    path = os.path.join(folder, "%s%s-SHA256SUMS" % (top, "-signed" if signed else ""))
    finish_output(open_output(path), "".join(lines).encode("ascii"), path)
    print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
