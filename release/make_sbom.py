"""The CycloneDX 1.6 SBOM of a release: the downloads and executables, the
runtime parts the linker recorded in the notices, the Windows DLLs called,
and the toolchain (BUILDINFO.txt). Its time is the release's, its serial
number derived from its content."""
import hashlib
import json
import os
import time
import urllib.parse
import uuid

from release.build_info import parse
from release.linked_runtime import parse_notices
from release.package_facts import ARCHITECTURES, facts, msi_name, version_of
from release.zip_reading import Release
from release.zip_layout import EXECUTABLES

LICENSES = {"mingw-w64 runtime": "ZPL-2.1 AND LicenseRef-public-domain",
            "libgcc": "GPL-3.0-or-later WITH GCC-exception-3.1"}
PACKAGES = {"mingw-w64 runtime": "mingw-w64-%s-dev", "libgcc": "gcc-mingw-w64-%s-posix"}
SYSTEM = ("KERNEL32.dll", "SETUPAPI.dll", "msvcrt.dll")


def hashes(data: bytes) -> list:
    return [{"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()},
            {"alg": "SHA-512", "content": hashlib.sha512(data).hexdigest()}]


def purl(package: bytes, version: str) -> str:
    name, _, architecture = package.partition(":")
    return "pkg:deb/debian/%s@%s?%sdistro=debian-12" % (
        name, urllib.parse.quote(version, safe=".-_~"),
        "arch=%s&" % architecture if architecture else "")


def downloads(zip_path: str, folder: str, version: str, signed: bool) -> list:
    """The zip, and the MSIs where they exist in folder."""
    return [os.path.basename(zip_path)] + [
        name for name in (msi_name(version, a, signed) for a in ARCHITECTURES)
        if os.path.exists(os.path.join(folder, name))]


def file_components(zip_path: str, folder: str, version: str, signed: bool) -> list:
    components = []
    for name in downloads(zip_path, folder, version, signed):
        with open(os.path.join(folder, name), "rb") as g:
            components.append({"type": "file", "bom-ref": "file:" + name, "name": name,
                               "hashes": hashes(g.read())})
    return components


def executable_components(files: dict, tools: dict) -> tuple:
    linked = parse_notices(files["THIRD-PARTY-NOTICES.txt"].decode("ascii"))
    components, dependencies = [], []
    for name in EXECUTABLES:
        architecture = name.split("/")[0]
        needs = []
        for owner, parts in sorted(linked.get(architecture, {}).items()):
            # Debian names the mingw-w64 packages by processor: x86-64, i686.
            package = PACKAGES[owner] % ARCHITECTURES[architecture].cpu.replace("_", "-")
            reference = "%s:%s" % (package, architecture)
            needs.append(reference)
            components.append({
                "type": "library", "bom-ref": reference, "name": owner,
                "version": tools.get(package, "unknown"),
                "purl": purl(package, tools.get(package, "unknown")),
                "licenses": [{"expression": LICENSES[owner]}],
                "description": "Linked statically into %s" % name,
                "properties": [{"name": "linked parts", "value": parts}]})
        needs += ["windows:" + dll for dll in SYSTEM]
        components.append({"type": "file", "bom-ref": "file:" + name, "name": name,
                           "hashes": hashes(files[name])})
        dependencies.append({"ref": "file:" + name, "dependsOn": needs})
    components += [{"type": "library", "bom-ref": "windows:" + dll, "name": dll,
                    "supplier": {"name": "Microsoft"}, "scope": "required",
                    "description": "Part of Windows; called by the executables, not shipped"}
                   for dll in SYSTEM]
    return components, dependencies


def formulation(tools: dict, info: dict, epoch: int, signed: bool) -> list:
    return [{
        "bom-ref": "formulation",
        "components": [{"type": "application", "bom-ref": "tool:" + package,
                        "name": package.partition(":")[0], "version": tool_version,
                        "purl": purl(package, tool_version)}
                       for package, tool_version in sorted(tools.items())],
        "workflows": [{
            "bom-ref": "workflow:release", "uid": "release", "name": "release",
            "taskTypes": ["build"] + (["other"] if signed else []),
            "steps": [{"name": "build and package",
                       "commands": [{"executed": "scripts/release.sh"}]}]
            + ([{"name": "sign", "commands": [{"executed": "scripts/sign-release.sh"}]}]
               if signed else []),
            "properties": [{"name": "SOURCE_DATE_EPOCH",
                            "value": info.get("source-date-epoch", str(epoch))}]}]}]


def sbom(zip_path: str, release: Release, folder: str, signed: bool) -> str:
    f = facts()
    top, files, epoch = release.top, release.files, release.epoch
    info = parse(files["BUILDINFO.txt"])
    components = file_components(zip_path, folder, version_of(top), signed)
    linked, dependencies = executable_components(files, info["built-with"])
    components += linked
    document = {
        "bomFormat": "CycloneDX", "specVersion": "1.6", "version": 1,
        "metadata": {
            "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
            "lifecycles": [{"phase": "build"}],
            "supplier": {"name": f["publisher"]},
            "component": {
                "type": "application", "bom-ref": "portcheck", "name": "portcheck",
                "version": version_of(top), "description": f["short_description"],
                "supplier": {"name": f["publisher"]},
                "licenses": [{"license": {"id": f["license"]}}],
                "externalReferences": [{"type": "website", "url": f["homepage"]}],
                "properties": [{"name": "commit", "value": info.get("commit", "unknown")},
                               {"name": "signed", "value": "yes" if signed else "no"}]}},
        "components": components,
        "dependencies": [{"ref": "portcheck", "dependsOn": [c["bom-ref"] for c in components
                                                             if c["type"] == "file"]}]
        + dependencies,
        "formulation": formulation(info["built-with"], info, epoch, signed),
    }
    text = json.dumps(document, indent=2, sort_keys=True)
    document["serialNumber"] = "urn:uuid:%s" % uuid.uuid5(uuid.UUID(f["code_namespace"]),
                                                          "sbom/" + text)
    return json.dumps(document, indent=2, sort_keys=True) + "\n"
