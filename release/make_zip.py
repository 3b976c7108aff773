#!/usr/bin/python3
"""Writes the release zip and, beside it, the full record of its build;
prints the zip's path last."""
import argparse
import os
import sys

if __package__ in (None, ""):  # started as a file: the packages lie at the checkout's top
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from release.build_info import (build_info, checkout_commit, debian_suite, environment_files,
                        packages, toolchain_files)
from release.package_facts import ARCHITECTURES, record_path, top_folder, zip_name
from release.safe_output import end_cleanly_on_signals, write_output
from release.zip_layout import EXECUTABLES, MODES, checksums, zip_bytes


def main(arguments: list) -> int:
    parser = argparse.ArgumentParser(prog="make_zip.py", description="Writes the release zip.")
    for name in ("version", "folder", "notices", *ARCHITECTURES):
        parser.add_argument(name)
    given = vars(parser.parse_args(arguments))
    end_cleanly_on_signals()
    version, dist = given["version"], given["folder"]
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "README.txt.in"), encoding="utf-8") as f:
        readme = f.read().replace("@VERSION@", version).replace("\n", "\r\n").encode("ascii")
    texts = {}
    for name, source in (("LICENSE.txt", os.path.join(os.path.dirname(here), "LICENSE")),
                         ("THIRD-PARTY-NOTICES.txt", given["notices"])):
        with open(source, encoding="utf-8") as f:
            texts[name] = f.read().replace("\n", "\r\n").encode("ascii")
    commit = checkout_commit(os.path.dirname(here))
    toolchain, suite = packages(toolchain_files()), debian_suite()
    files = {"README.txt": readme, **texts,
             "BUILDINFO.txt": build_info(version, commit, epoch, suite, toolchain)}
    for name, architecture in zip(EXECUTABLES, ARCHITECTURES):
        with open(given[architecture], "rb") as f:
            files[name] = f.read()
    files["SHA256SUMS"] = checksums(files)
    top = top_folder(version)
    zip_path = os.path.join(dist, zip_name(version))
    record = build_info(version, commit, epoch, suite,
                        sorted(set(toolchain) | set(packages(environment_files()))))
    write_output(record_path(zip_path), record)
    print(write_output(zip_path, zip_bytes(top, files, MODES, epoch)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
