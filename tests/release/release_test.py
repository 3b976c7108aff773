#!/usr/bin/python3
"""The release, made twice from copies of the source tree in two different
folders (one whose name holds a space and a quote) and time zones: every file
must be byte-identical, checksums must match, README.txt must have CR LF line
ends, the executables must be the very ones the Windows builds' tests
checked, and the manifests, SBOM and notices must match the files. Run from the top of the source tree, after
the windows and windows-x86 builds."""
import hashlib
import io
import json
import os
import subprocess
import sys
import tempfile
import zipfile

import pefile
import yaml

import sbom_check
from checks import report
from untrusted import read_zip
from source_tree import copy_tree, make_release
from verify_msi import MACHINES

URL = "https://downloads.invalid/portcheck/1.0.0"
WINGET = "manifests/winget/manifests/z/Zelnar/PortCheck/1.0.0/"
SCOOP = "manifests/scoop/bucket/portcheck.json"
# The fields each manifest must have (winget 1.6.0's schemas, Scoop's).
REQUIRED = {
    "Zelnar.PortCheck.yaml": ["PackageIdentifier", "PackageVersion", "DefaultLocale",
                              "ManifestType", "ManifestVersion"],
    "Zelnar.PortCheck.locale.en-US.yaml": ["PackageIdentifier", "PackageVersion", "PackageLocale",
                                           "Publisher", "PackageName", "License",
                                           "ShortDescription", "ManifestType", "ManifestVersion"],
    "Zelnar.PortCheck.installer.yaml": ["PackageIdentifier", "PackageVersion", "Installers",
                                        "ReleaseDate", "ManifestType", "ManifestVersion"],
    SCOOP: ["version", "description", "homepage", "license", "architecture", "extract_dir"],
}


def release(folder, env):
    """{path under dist/: bytes} of a release made in a copy of the tree."""
    copy_tree(folder)
    dist = make_release(folder, env, "--download-url", URL)
    made = {}
    for here, _, names in os.walk(dist):
        for name in names:
            with open(os.path.join(here, name), "rb") as f:
                made[os.path.relpath(os.path.join(here, name), dist)] = f.read()
    return made


def sbom_problems(made, work):
    """The SBOM validates against CycloneDX 1.6 and its hashes are the files';
    a broken copy does not validate."""
    check = sbom_check.validator(work)
    path = os.path.join(work, "release.zip")
    with open(path, "wb") as f:
        f.write(made["portcheck-1.0.0-windows.zip"])
    _, files, _, _ = read_zip(path)
    files = dict(made, **{name: data for name, data in files.items()})
    text = made["portcheck-1.0.0-windows.cdx.json"].decode("utf-8")
    problems = sbom_check.problems(check, text, files)
    names = {c["name"] for c in json.loads(text)["components"]}
    for name in ("portcheck-1.0.0-windows.zip", "portcheck-1.0.0-x64.msi", "x86/portcheck.exe",
                 "mingw-w64 runtime", "libgcc", "KERNEL32.dll", "SETUPAPI.dll", "msvcrt.dll"):
        if name not in names:
            problems.append("the SBOM does not list %s" % name)
    if not sbom_check.problems(check, text.replace('"SHA-512"', '"SHA512"'), files):
        problems.append("a broken SBOM (hash algorithm SHA512) validated")
    return problems


def drift_problems(folder):
    """The notices agree with the release build's linker maps, and a notices
    text with a runtime member gone, or one added, does not."""
    maps = ["x64", os.path.join(folder, "build", "release-x64", "portcheck.map"),
            "x86", os.path.join(folder, "build", "release-x86", "portcheck.map")]
    with open("THIRD-PARTY-NOTICES.txt") as f:
        notices = f.read()
    problems = []
    for title, text, status in (("as it stands", notices, 0),
                                ("with a member gone", notices.replace(" gccmain", ""), 1),
                                ("with a member added", notices.replace("(mingw_matherr)",
                                                                        "(mingw_matherr fma)"), 1)):
        path = os.path.join(folder, "notices.txt")
        with open(path, "w") as f:
            f.write(text)
        done = subprocess.run(["/usr/bin/python3", "-B", "release/linked_runtime.py", "check",
                               path] + maps, capture_output=True, text=True)
        if done.returncode != status:
            problems.append("the notices %s: status %d, want %d: %s" % (
                title, done.returncode, status, done.stderr))
    return problems


def manifest_problems(made):
    """The manifests' hashes, addresses and in-zip paths against the files,
    and the fields each format requires."""
    problems = []
    manifests = {name: yaml.safe_load(data) for name, data in made.items()
                 if name.endswith(".yaml")}
    for name, fields in REQUIRED.items():
        document = manifests.get(WINGET + name) if name != SCOOP else json.loads(made[SCOOP])
        missing = [field for field in fields if document is None or field not in document]
        if missing:
            problems.append("%s lacks %s" % (name, missing))
    installers = manifests.get(WINGET + "Zelnar.PortCheck.installer.yaml", {}).get("Installers", [])
    bucket = json.loads(made.get(SCOOP, b"{}"))
    scoop = bucket.get("architecture", {})
    pointers = [(i["InstallerUrl"], i["InstallerSha256"], i.get("NestedInstallerFiles", [{}])[0]
                 .get("RelativeFilePath")) for i in installers]
    # Scoop keeps the whole top folder: the command and the licence texts beside it.
    pointers += [(a["url"], a["hash"], "%s\\%s" % (bucket.get("extract_dir"), inner))
                 for a in scoop.values()
                 for inner in (a["bin"], "LICENSE.txt", "THIRD-PARTY-NOTICES.txt")]
    for installer in installers[:2]:
        if installer.get("InstallerSwitches", {}).get("InstallLocation") != \
                'INSTALLDIR="<INSTALLPATH>"' or installer.get("Commands") != ["portcheck"] or \
                installer["AppsAndFeaturesEntries"][0].get("ProductCode") != installer["ProductCode"]:
            problems.append("the %s MSI's winget entry lacks its install location switch, command "
                            "or product code: %r" % (installer["Architecture"], installer))
    if [i["InstallerType"] for i in installers] != ["msi", "msi", "zip", "zip"] or len(scoop) != 2:
        problems.append("want both MSIs first, then the zip, and two Scoop architectures")
    for url, digest, inner in pointers:
        data = made.get(url[len(URL) + 1:], b"")
        if not url.startswith(URL + "/") or hashlib.sha256(data).hexdigest() != digest.lower():
            problems.append("%s: no file in dist/ with the hash %s" % (url, digest))
        if inner and inner.replace("\\", "/") not in zipfile.ZipFile(io.BytesIO(data)).namelist():
            problems.append("%s holds no %s" % (url, inner))
    return problems


def content_problems(data):
    archive = zipfile.ZipFile(io.BytesIO(data))
    names = archive.namelist()
    top = names[0].split("/")[0]
    want = ["%s/%s" % (top, n) for n in ("BUILDINFO.txt", "LICENSE.txt", "README.txt", "SHA256SUMS",
                                         "THIRD-PARTY-NOTICES.txt", "x64/portcheck.exe",
                                         "x86/portcheck.exe")]
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
    for package in ("g++-mingw-w64-x86-64-posix", "binutils-mingw-w64-i686", "mingw-w64-i686-dev"):
        if "\r\nbuilt-with %s" % package not in recorded:
            problems.append("BUILDINFO.txt does not record %s:\n%s" % (package, recorded))
    # A package that decides no byte of the zip would make its bytes depend on the machine.
    for package in ("cmake", "zlib1g", "python3", "wixl", "libmsi"):
        if "\r\nbuilt-with %s" % package in recorded:
            problems.append("BUILDINFO.txt records %s:\n%s" % (package, recorded))
    readme = files["README.txt"]
    if readme.count(b"\n") != readme.count(b"\r\n") or b"\r\n" not in readme:
        problems.append("README.txt line ends are not all CR LF")
    for arch, tested in (("x64", "build/windows/portcheck.exe"),
                         ("x86", "build/windows-x86/portcheck.exe")):
        image = files[arch + "/portcheck.exe"]
        machine = {name: number for number, name in MACHINES.items()}[arch]
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
        second = release(os.path.join(work, "it's a second", "folder"), dict(env, TZ="Asia/Tokyo"))
        drift = drift_problems(os.path.join(work, "one"))
        sbom = sbom_problems(first, work)
    zip_name = next(name for name in first if name.endswith("-windows.zip"))
    return report([("the two releases are byte-identical", [
                        "%s differs" % name for name in sorted(set(first) | set(second))
                        if first.get(name) != second.get(name)]),
                   ("the zip's contents", content_problems(first[zip_name])),
                   ("the full record of the build lies beside the zip", [
                       "%s.buildinfo does not record %s" % (zip_name[:-4], package)
                       for package in ("built-with cmake ", "built-with zlib1g", "commit ")
                       if package.encode() not in first.get(zip_name[:-4] + ".buildinfo", b"")]),
                   ("the manifests", manifest_problems(first)),
                   ("the notices state what is linked, and drift is caught", drift),
                   ("the SBOM", sbom)])


if __name__ == "__main__":
    sys.exit(main())
