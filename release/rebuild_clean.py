#!/usr/bin/python3
"""The two ends of scripts/rebuild-clean.sh: `recorded FILE` prints the record
of a release's build (a zip's, or a package's from the record beside it),
only once every line is one a root can be made of; `compare ZIP REBUILT
UNAVAILABLE` says IDENTICAL, or what differs (status 1), UNAVAILABLE listing
the versions the archive lacked."""
import glob
import os
import re
import sys

if __package__ in (None, ""):  # started as a file: the packages lie at the checkout's top
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from release.build_info import parse
from release.package_facts import record_path
from release.hostile_input import NotARelease, read_bounded, shown
from release.zip_reading import read_zip
from release.zip_layout import NAMES


# What the root's apt and mmdebstrap are handed: Debian's own syntax for a
# package (Policy 5.6.1, with its architecture), a version (5.6.12: epoch,
# upstream version from a digit, revision) and a suite, so that no record can
# slip in an option; every other line is one that build_info writes.
PACKAGE = r"[a-z0-9][a-z0-9+.-]+(:[a-z0-9-]+)?"
VERSION = r"([0-9]+:)?[0-9][A-Za-z0-9.+~]*(-[A-Za-z0-9.+~]+)*"
RECORDED = {"portcheck": re.compile(r"[0-9]+\.[0-9]+\.[0-9]+"),
            "commit": re.compile(r"[0-9a-f]{40}( with uncommitted changes)?|unknown"),
            "debian-suite": re.compile(r"[a-z]+"), "source-date-epoch": re.compile(r"[0-9]+"),
            "built-with": re.compile(PACKAGE + " " + VERSION)}
ONCE = ("portcheck", "commit", "debian-suite", "source-date-epoch")
# A record names a few dozen packages in a few KiB.
LIMIT_RECORD = 64 << 10
# Releases made before the record named its suite were all made on Debian 12.
UNNAMED_SUITE = "bookworm"


def checked_record(text: bytes) -> str:
    if len(text) > LIMIT_RECORD:
        raise NotARelease("its build record is %d bytes; a genuine one is a few KiB, and none "
                          "over %d bytes is taken" % (len(text), LIMIT_RECORD))
    lines = text.decode("ascii", "replace").splitlines()
    for line in lines:
        key, _, value = line.partition(" ")
        if key not in RECORDED or not RECORDED[key].fullmatch(value):
            raise NotARelease("its build record has the line %s, which names no Debian "
                              "release, package or version" % shown(line))
    for key in ONCE:
        if sum(line.startswith(key + " ") for line in lines) > 1:
            raise NotARelease("its build record names its %s more than once" % key)
    if not any(line.startswith("debian-suite ") for line in lines):
        lines.append("debian-suite " + UNNAMED_SUITE)
    return "".join(line + "\n" for line in lines)


def recorded(path: str) -> str:
    if not path.endswith(".zip"):
        beside = sorted(glob.glob(os.path.join(glob.escape(os.path.dirname(path) or "."),
                                               "portcheck-*-windows.buildinfo")))
        if len(beside) != 1:
            raise NotARelease("a package carries no record of its build; put the release's "
                              "portcheck-<version>-windows.buildinfo (and nothing like it) "
                              "beside it")
        return checked_record(read_record(beside[0]))
    _, files, _, _ = read_zip(path)
    return checked_record(record(path, files))


def compare(given: str, rebuilt: str, unavailable: str) -> int:
    given_files = read_zip(given)[1]
    given_info = parse(record(given, given_files))
    suite = given_info.get("debian-suite", UNNAMED_SUITE)
    with open(given, "rb") as f, open(rebuilt, "rb") as g:
        if f.read() == g.read():
            print("IDENTICAL: %s is, byte for byte, what a minimal Debian %s root built from "
                  "this checkout with the network cut off" % (shown(os.path.basename(given)),
                                                              shown(suite)))
            return 0
    _, rebuilt_files, _, _ = read_zip(rebuilt)
    print("DIFFERENT: %s is not what the clean root built" % shown(os.path.basename(given)))
    for name in NAMES:
        if given_files.get(name) != rebuilt_files.get(name):
            print("  %s differs" % name)
    rebuilt_info = parse(record(rebuilt, rebuilt_files))
    if given_info.get("commit") != rebuilt_info.get("commit"):
        print("  it was built from commit %s; this checkout is at %s" % (
            shown(given_info.get("commit", "(none)")), rebuilt_info.get("commit")))
    wanted, got = given_info["built-with"], rebuilt_info["built-with"]
    with open(unavailable) as f:
        gone = {line.split()[0] for line in f if line.strip()}
    for package in sorted(set(wanted) | set(got)):
        if wanted.get(package) != got.get(package):
            print("  the release recorded %s %s; the clean root got %s%s" % (
                shown(package), shown(wanted.get(package, "(nothing)")),
                got.get(package, "(nothing)"),
                " (Debian's archive no longer offers the recorded version: it keeps only the "
                "current point release)" if package in gone else ""))
    return 1


def read_record(path: str) -> bytes:
    return read_bounded(path, shown(os.path.basename(path)), "a build record is a few KiB",
                        LIMIT_RECORD)


def record(zip_path: str, files: dict) -> bytes:
    """The .buildinfo beside a zip, or else its BUILDINFO.txt; either read
    as a download is, for the checker hands it any zip."""
    beside = record_path(zip_path)
    if os.path.lexists(beside):
        return read_record(beside)
    if "BUILDINFO.txt" not in files:
        raise NotARelease("it holds no BUILDINFO.txt, the record of its build")
    return files["BUILDINFO.txt"]


def main(arguments: list) -> int:
    try:
        if arguments[:1] == ["recorded"] and len(arguments) == 2:
            sys.stdout.write(recorded(arguments[1]))
            return 0
        if arguments[:1] == ["compare"] and len(arguments) == 4:
            return compare(*arguments[1:])
    except NotARelease as error:
        print("rebuild-clean: %s" % error, file=sys.stderr)
        return 2
    print("usage: rebuild_clean.py recorded FILE | compare ZIP REBUILT UNAVAILABLE",
          file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
