#!/usr/bin/python3
"""The winget and Scoop manifests of a release, for the files a user
downloads from a base URL: winget's multi-file manifest (version, default
locale, installer; manifest version 1.6.0) with both MSIs first and the zip
as a portable fallback, and a Scoop manifest with both architectures. Each
goes where its package manager's repository keeps it, under the folder:
  winget/manifests/z/Zelnar/PortCheck/<version>/Zelnar.PortCheck[.*].yaml
  scoop/bucket/portcheck.json
Arguments: the release zip, the MSIs' folder, the base URL, the folder, and
"signed" for the signed set (the files' names end in -signed)."""
import hashlib
import json
import os
import re
import sys

from make_msi import ARCHITECTURES, facts, msi_name, product_code
from release_zip import finish_output, open_output, read_zip

MANIFEST_VERSION = "1.6.0"
URL = re.compile(r"https://[!-~]+")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest().upper()


def yaml(fields):
    """Flat YAML of (key, value) pairs; values as JSON strings, which YAML
    reads as double-quoted scalars, and lists of such mappings."""
    lines = ["# Made by scripts/release.sh; the same release gives the same text."]
    for key, value in fields:
        if isinstance(value, list):
            lines.append("%s:" % key)
            for item in value:
                lines += yaml_item(item, "  ")
        else:
            lines.append("%s: %s" % (key, json.dumps(value)))
    return "\n".join(lines) + "\n"


def yaml_item(pairs, indent):
    lines = []
    for number, (key, value) in enumerate(pairs):
        lead = indent + ("- " if number == 0 else "  ")
        if isinstance(value, list):
            lines.append("%s%s:" % (lead, key))
            for item in value:
                lines += yaml_item(item, indent + "    ")
        else:
            lines.append("%s%s: %s" % (lead, key, json.dumps(value)))
    return lines


def manifests(zip_path, msi_folder, base_url, signed):
    """{relative path: text}."""
    f = facts()
    top, _, _, _ = read_zip(zip_path)
    version = top[len("portcheck-"):]
    url = lambda name: base_url.rstrip("/") + "/" + name  # noqa: E731
    zip_name = os.path.basename(zip_path)
    identity = [("PackageIdentifier", f["identifier"]), ("PackageVersion", version)]
    installers = []
    for architecture in ARCHITECTURES:
        name = msi_name(version, architecture, signed)
        installers.append([
            ("Architecture", architecture), ("InstallerType", "msi"), ("Scope", "machine"),
            ("InstallerUrl", url(name)), ("InstallerSha256", sha256(os.path.join(msi_folder, name))),
            ("ProductCode", product_code(version, architecture)),
            ("AppsAndFeaturesEntries", [[("UpgradeCode", f["upgrade_code"])]])])
    for architecture in ARCHITECTURES:
        installers.append([
            ("Architecture", architecture), ("InstallerType", "zip"),
            ("NestedInstallerType", "portable"),
            ("NestedInstallerFiles", [[
                ("RelativeFilePath", "%s\\%s\\portcheck.exe" % (top, architecture)),
                ("PortableCommandAlias", f["command"])]]),
            ("InstallerUrl", url(zip_name)), ("InstallerSha256", sha256(zip_path))])
    kind = lambda name: [("ManifestType", name), ("ManifestVersion", MANIFEST_VERSION)]  # noqa
    folder = "winget/manifests/%s/%s/%s" % (f["identifier"][0].lower(),
                                            f["identifier"].replace(".", "/"), version)
    scoop = {
        "version": version,
        "description": f["short_description"],
        "homepage": f["homepage"],
        "license": f["license"],
        "architecture": {
            bits: {"url": url(zip_name), "hash": sha256(zip_path).lower(),
                   "extract_dir": "%s\\%s" % (top, architecture)}
            for bits, architecture in (("64bit", "x64"), ("32bit", "x86"))},
        "bin": "portcheck.exe",
    }
    return {
        "%s/%s.yaml" % (folder, f["identifier"]): yaml(
            identity + [("DefaultLocale", "en-US")] + kind("version")),
        "%s/%s.locale.en-US.yaml" % (folder, f["identifier"]): yaml(
            identity + [("PackageLocale", "en-US"), ("Publisher", f["publisher"]),
                        ("PackageName", f["name"]), ("PackageUrl", f["homepage"]),
                        ("License", f["license"]), ("ShortDescription", f["short_description"]),
                        ("Moniker", f["command"])] + kind("defaultLocale")),
        "%s/%s.installer.yaml" % (folder, f["identifier"]): yaml(
            identity + [("MinimumOSVersion", "5.1.2600.0"), ("Installers", installers)]
            + kind("installer")),
        "scoop/bucket/%s.json" % f["command"]: json.dumps(scoop, indent=2) + "\n",
    }


def main(arguments):
    zip_path, msi_folder, base_url, folder = arguments[:4]
    if not URL.fullmatch(base_url):
        print("release: the download URL must be an https:// address without blanks, not %r"
              % base_url, file=sys.stderr)
        return 2
    for name, text in sorted(manifests(zip_path, msi_folder, base_url,
                                       arguments[4:] == ["signed"]).items()):
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        finish_output(open_output(path), text.encode("utf-8"), path)
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
