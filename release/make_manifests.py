"""The winget (1.6.0, multi-file: both MSIs, then the zip as a portable
fallback) and Scoop manifests of a release, at the paths their repositories
keep them."""
import argparse
import hashlib
import json
import os
import re
import time

import yaml

from release.package_facts import ARCHITECTURES, facts, msi_name, product_code, version_of
from release.zip_reading import Release

MANIFEST_VERSION = "1.6.0"


def download_url(text: str) -> str:
    """The one check of a download address, for every command that takes one."""
    if not re.fullmatch(r"https://[!-~]+", text):
        raise argparse.ArgumentTypeError("the download URL must be an https:// address "
                                         "without blanks")
    return text


def sha256(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest().upper()


def yaml_text(fields: dict) -> str:
    """Keys in the order winget's documentation shows them."""
    return "# Made by scripts/release.sh; the same release gives the same text.\n" + \
        yaml.safe_dump(fields, sort_keys=False, allow_unicode=False, width=1000)


def installers(zip_path: str, msi_folder, top: str, url, signed: bool) -> list:
    f, version, zip_name = facts(), version_of(top), os.path.basename(zip_path)
    found = []
    for architecture in ARCHITECTURES:
        name = msi_name(version, architecture, signed)
        found.append({
            "Architecture": architecture, "InstallerType": "msi", "Scope": "machine",
            "InstallerUrl": url(name), "InstallerSha256": sha256(os.path.join(msi_folder, name)),
            "ProductCode": product_code(version, architecture),
            # winget's --location: without it winget passes TARGETDIR, which
            # does not move the folder.
            "InstallerSwitches": {"InstallLocation": 'INSTALLDIR="<INSTALLPATH>"'},
            "Commands": [f["command"]],
            "AppsAndFeaturesEntries": [{"ProductCode": product_code(version, architecture),
                                        "UpgradeCode": f["upgrade_code"]}]})
    for architecture in ARCHITECTURES:
        found.append({
            "Architecture": architecture, "InstallerType": "zip",
            "NestedInstallerType": "portable",
            "NestedInstallerFiles": [{
                "RelativeFilePath": "%s\\%s\\portcheck.exe" % (top, architecture),
                "PortableCommandAlias": f["command"]}],
            "InstallerUrl": url(zip_name), "InstallerSha256": sha256(zip_path)})
    return found


def scoop(zip_path: str, top: str, url) -> dict:
    """The whole top folder is kept, so the licence and notices stay beside the program."""
    f = facts()
    return {
        "version": version_of(top),
        "description": f["short_description"],
        "homepage": f["homepage"],
        "license": f["license"],
        "extract_dir": top,
        "architecture": {
            a.scoop: {"url": url(os.path.basename(zip_path)), "hash": sha256(zip_path).lower(),
                      "bin": "%s\\portcheck.exe" % a.name}
            for a in ARCHITECTURES.values()},
    }


def manifests(zip_path: str, release: Release, msi_folder: str, base_url: str,
              signed: bool) -> dict:
    f = facts()
    top, epoch = release.top, release.epoch
    version = version_of(top)
    url = lambda name: base_url.rstrip("/") + "/" + name
    identity = {"PackageIdentifier": f["identifier"], "PackageVersion": version}
    kind = lambda name: {"ManifestType": name, "ManifestVersion": MANIFEST_VERSION}
    folder = "winget/manifests/%s/%s/%s" % (f["identifier"][0].lower(),
                                            f["identifier"].replace(".", "/"), version)
    return {
        "%s/%s.yaml" % (folder, f["identifier"]): yaml_text(
            {**identity, "DefaultLocale": "en-US", **kind("version")}),
        "%s/%s.locale.en-US.yaml" % (folder, f["identifier"]): yaml_text({
            **identity, "PackageLocale": "en-US", "Publisher": f["publisher"],
            "PackageName": f["name"], "PackageUrl": f["homepage"], "License": f["license"],
            "ShortDescription": f["short_description"], "Moniker": f["command"],
            **kind("defaultLocale")}),
        "%s/%s.installer.yaml" % (folder, f["identifier"]): yaml_text({
            **identity, "ReleaseDate": time.strftime("%Y-%m-%d", time.gmtime(epoch)),
            "Installers": installers(zip_path, msi_folder, top, url, signed),
            **kind("installer")}),
        "scoop/bucket/%s.json" % f["command"]: json.dumps(scoop(zip_path, top, url),
                                                          indent=2) + "\n",
    }
