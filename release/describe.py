#!/usr/bin/python3
"""Beside a release's zip and packages, signed or not: the SBOM, the sums of
every download and, given the download address, the manifests."""
import argparse
import hashlib
import os
import sys

if __package__ in (None, ""):  # started as a file: the packages lie at the checkout's top
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from release import make_manifests
from release import make_sbom
from release.package_facts import sbom_name, sums_name, version_of
from release.safe_output import end_cleanly_on_signals, write_output
from release.zip_reading import Release, read_zip


def sums(zip_path: str, release: Release, folder: str, signed: bool) -> tuple:
    """(path, bytes) of the sums of the SBOM's downloads, and the SBOM."""
    version = version_of(release.top)
    sbom = sbom_name(zip_path)
    names = sorted(make_sbom.downloads(zip_path, folder, version, signed)
                   + ([sbom] if os.path.exists(os.path.join(folder, sbom)) else []))
    lines = []
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            lines.append("%s  %s\n" % (hashlib.sha256(f.read()).hexdigest(), name))
    return os.path.join(folder, sums_name(version, signed)), "".join(lines).encode("ascii")


def describe(zip_path: str, folder: str, signed: bool = False,
             url: str = None) -> list:
    release = read_zip(zip_path)
    written = [write_output(os.path.join(folder, sbom_name(zip_path)),
                            make_sbom.sbom(zip_path, release, folder, signed).encode("utf-8"))]
    written.append(write_output(*sums(zip_path, release, folder, signed)))
    if url:
        manifests = os.path.join(folder, "manifests-signed" if signed else "manifests")
        texts = make_manifests.manifests(zip_path, release, folder, url, signed)
        written += [write_output(os.path.join(manifests, name), texts[name].encode("utf-8"))
                    for name in sorted(texts)]
    return written


def main(arguments: list) -> int:
    parser = argparse.ArgumentParser(prog="describe.py", description="Writes the SBOM, sums "
                                     "and manifests beside a release's files.")
    parser.add_argument("zip")
    parser.add_argument("folder")
    parser.add_argument("--signed", action="store_true", help="the signed set")
    parser.add_argument("--download-url", type=make_manifests.download_url,
                        help="the https:// address the files go to")
    given = parser.parse_args(arguments)
    end_cleanly_on_signals()
    for path in describe(given.zip, given.folder, given.signed, given.download_url):
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
