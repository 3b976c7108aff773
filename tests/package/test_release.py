"""The release of this checkout and one made from a copy of it in another
folder (whose name holds a space and a quote) and time zone: every file
byte-identical; the zip's entries and checksums, README.txt's CR LF line ends,
the executables the very ones the Windows builds' tests checked; the
manifests, SBOM and notices true to the files."""
import hashlib
import io
import json
import os
import subprocess
import unittest
import zipfile

import pefile
import yaml

from tests.support import sbom_check
from tests.support import shared_release
from tests.support.shared_release import URL
from release.zip_reading import read_zip
from release.package_facts import ARCHITECTURES

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


def contents(files) -> dict:
    """{path under dist/: bytes}."""
    made = {}
    for name, path in files.items():
        if os.path.isdir(path):
            for here, _, names in os.walk(path):
                for inner in names:
                    with open(os.path.join(here, inner), "rb") as f:
                        made[os.path.relpath(os.path.join(here, inner),
                                             os.path.dirname(path))] = f.read()
        else:
            with open(path, "rb") as f:
                made[name] = f.read()
    return made


def sbom_problems(made):
    """The SBOM validates against CycloneDX 1.6 and its hashes are the files';
    a broken copy does not validate."""
    check = shared_release.sbom_validator()
    files = dict(made, **read_zip(shared_release.zip_path()).files)
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
    """The notices the release wrote agree with its builds' linker maps, and
    a notices text with a runtime member gone, or one added, does not."""
    maps = [part for arch in ("x64", "x86") for part in (
        arch, os.path.join(folder, "build", "release-" + arch, "portcheck.map"))]
    with open(os.path.join(folder, "build", "THIRD-PARTY-NOTICES.txt")) as f:
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
    for arch, facts in ARCHITECTURES.items():
        image = files[arch + "/portcheck.exe"]
        tested = os.path.join("build", facts.preset, "portcheck.exe")
        if pefile.PE(data=image).FILE_HEADER.Machine != facts.machine:
            problems.append("%s executable is not for machine %#x" % (arch, facts.machine))
        with open(tested, "rb") as f:
            if f.read() != image:
                problems.append("%s executable differs from %s" % (arch, tested))
    return problems


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.made = contents(shared_release.release())
        copy = os.path.join(shared_release.work(), "it's a second", "folder")
        shared_release.copy_tree(copy, with_git=True)
        cls.second = contents(shared_release.make_release(
            copy, copy, dict(os.environ, TZ="Asia/Tokyo")))
        cls.zip_name = os.path.basename(shared_release.zip_path())

    def test_made_twice_byte_identical(self):
        self.assertEqual(sorted(self.made), sorted(self.second))
        for name in self.made:
            with self.subTest(name):
                self.assertTrue(self.made[name] == self.second[name], "%s differs" % name)

    def test_zip_contents(self):
        self.assertEqual(content_problems(self.made[self.zip_name]), [])

    def test_full_record_beside_the_zip(self):
        record = self.made.get(self.zip_name[:-4] + ".buildinfo", b"")
        for line in ("built-with cmake ", "built-with zlib1g", "commit "):
            self.assertIn(line.encode(), record)

    def test_manifests(self):
        self.assertEqual(manifest_problems(self.made), [])

    def test_notices_state_what_is_linked(self):
        self.assertEqual(drift_problems(os.path.join(shared_release.work(), "release")), [])

    def test_sbom(self):
        self.assertEqual(sbom_problems(self.made), [])
