#!/usr/bin/python3
"""The release, made twice from copies of the source tree in two different
folders: the zips must be byte-identical, checksums must match, README.txt
must have CR LF line ends, and the executables must be the very ones the
Windows builds' tests checked. Run from the top of the source tree, after
the windows and windows-x86 builds."""
import hashlib
import io
import os
import subprocess
import sys
import tempfile
import zipfile

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows"))
from image_test import ARCHITECTURES  # noqa: E402
from checks import report  # noqa: E402


def copy_tree(to):
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], check=True,
                           capture_output=True).stdout.decode().split("\0")
    for name in filter(None, files):
        if os.path.isfile(name):
            os.makedirs(os.path.join(to, os.path.dirname(name)), exist_ok=True)
            with open(name, "rb") as source, open(os.path.join(to, name), "wb") as copy:
                copy.write(source.read())


def release(folder, env):
    copy_tree(folder)
    run = subprocess.run(["sh", "scripts/release.sh"], cwd=folder, env=env, check=True,
                         stdin=subprocess.DEVNULL, capture_output=True, text=True)
    with open(run.stdout.splitlines()[-1], "rb") as f:
        return f.read()


def content_problems(data):
    archive = zipfile.ZipFile(io.BytesIO(data))
    names = archive.namelist()
    top = names[0].split("/")[0]
    want = ["%s/%s" % (top, n) for n in ("BUILDINFO.txt", "README.txt", "SHA256SUMS",
                                         "x64/portcheck.exe", "x86/portcheck.exe")]
    if names != want:
        return ["entries %r, want %r" % (names, want)]
    files = {n[len(top) + 1:]: archive.read(n) for n in names}
    problems = []
    listed = {}
    for line in files["SHA256SUMS"].decode("ascii").splitlines():
        digest, name = line.split("  ", 1)
        listed[name] = digest
    actual = {n: hashlib.sha256(d).hexdigest() for n, d in files.items() if n != "SHA256SUMS"}
    if listed != actual:
        problems.append("SHA256SUMS %r, want %r" % (listed, actual))
    recorded = files["BUILDINFO.txt"].decode("ascii")
    for package in ("g++-mingw-w64-x86-64-posix", "binutils-mingw-w64-i686", "mingw-w64-i686-dev",
                    "cmake", "zlib1g"):
        if "\r\nbuilt-with %s" % package not in recorded:
            problems.append("BUILDINFO.txt does not record %s:\n%s" % (package, recorded))
    readme = files["README.txt"]
    if readme.count(b"\n") != readme.count(b"\r\n") or b"\r\n" not in readme:
        problems.append("README.txt line ends are not all CR LF")
    for arch, tested in (("x64", "build/windows/portcheck.exe"),
                         ("x86", "build/windows-x86/portcheck.exe")):
        image = files[arch + "/portcheck.exe"]
        machine = ARCHITECTURES[arch]["machine"]
        if pefile.PE(data=image).FILE_HEADER.Machine != machine:
            problems.append("%s executable is not for machine %#x" % (arch, machine))
        with open(tested, "rb") as f:
            if f.read() != image:
                problems.append("%s executable differs from %s" % (arch, tested))
    return problems


def main():
    epoch = subprocess.run(["git", "log", "-1", "--format=%ct"], check=True,
                           capture_output=True, text=True).stdout.strip()
    env = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
    with tempfile.TemporaryDirectory() as work:
        first = release(os.path.join(work, "one"), env)
        second = release(os.path.join(work, "a second", "folder"), env)
    return report([("the two zips are byte-identical", [] if first == second else ["they differ"]),
                   ("the zip's contents", content_problems(first))])


if __name__ == "__main__":
    sys.exit(main())
