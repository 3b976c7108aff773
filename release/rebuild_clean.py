#!/usr/bin/python3
"""The two ends of scripts/rebuild-clean.sh: `recorded ZIP` prints the record
of the zip's build; `compare ZIP REBUILT UNAVAILABLE` says IDENTICAL, or what
differs (status 1), UNAVAILABLE listing the versions the archive lacked."""
import os
import sys

from build_info import parse
from package_facts import record_path
from untrusted import NotARelease, read_zip, shown
from zip_layout import NAMES


def compare(given: str, rebuilt: str, unavailable: str) -> int:
    with open(given, "rb") as f, open(rebuilt, "rb") as g:
        if f.read() == g.read():
            print("IDENTICAL: %s is, byte for byte, what a minimal Debian 12 root built from "
                  "this checkout with the network cut off" % shown(os.path.basename(given)))
            return 0
    _, given_files, _, _ = read_zip(given)
    _, rebuilt_files, _, _ = read_zip(rebuilt)
    print("DIFFERENT: %s is not what the clean root built" % shown(os.path.basename(given)))
    for name in NAMES:
        if given_files.get(name) != rebuilt_files.get(name):
            print("  %s differs" % name)
    given_info = parse(record(given, given_files))
    rebuilt_info = parse(record(rebuilt, rebuilt_files))
    if given_info.get("commit") != rebuilt_info.get("commit"):
        print("  it was built from commit %s; this checkout is at %s" % (
            shown(given_info.get("commit", "(none)")), rebuilt_info.get("commit")))
    recorded, got = given_info["built-with"], rebuilt_info["built-with"]
    with open(unavailable) as f:
        gone = {line.split()[0] for line in f if line.strip()}
    for package in sorted(set(recorded) | set(got)):
        if recorded.get(package) != got.get(package):
            print("  the release recorded %s %s; the clean root got %s%s" % (
                shown(package), shown(recorded.get(package, "(nothing)")),
                got.get(package, "(nothing)"),
                " (Debian's archive no longer offers the recorded version: it keeps only the "
                "current point release)" if package in gone else ""))
    return 1


def record(zip_path: str, files: dict) -> bytes:
    """The .buildinfo beside a zip, or else its BUILDINFO.txt."""
    try:
        with open(record_path(zip_path), "rb") as f:
            return f.read(1 << 16)
    except OSError:
        return files["BUILDINFO.txt"]


def main(arguments: list) -> int:
    try:
        if arguments[:1] == ["recorded"] and len(arguments) == 2:
            _, files, _, _ = read_zip(arguments[1])
            text = record(arguments[1], files)
            sys.stdout.write(text.decode("ascii", "replace").replace("\r", ""))
            return 0
        if arguments[:1] == ["compare"] and len(arguments) == 4:
            return compare(*arguments[1:])
    except NotARelease as error:
        print("rebuild-clean: %s" % error, file=sys.stderr)
        return 2
    print("usage: rebuild_clean.py recorded ZIP | compare ZIP REBUILT UNAVAILABLE",
          file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
