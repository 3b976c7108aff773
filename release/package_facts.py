#!/usr/bin/python3
"""The product's fixed facts (package.ini), its codes, its architectures and
every artifact's name."""
import configparser
import os
import uuid
from typing import NamedTuple

HERE = os.path.dirname(os.path.abspath(__file__))
TOP_PREFIX = "portcheck-"


class Architecture(NamedTuple):
    name: str           # wixl's -a, the zip's folder, the packages' names
    triple: str         # the mingw-w64 compilers' prefix
    machine: int        # the PE header's machine type
    program_files: str  # Windows Installer's folder for it
    win64: bool
    scoop: str          # the Scoop manifest's key
    preset: str         # the CMake preset whose tests run this build

    @property
    def cpu(self) -> str:
        """The triple's processor, as Debian's mingw-w64 packages name it."""
        return self.triple.split("-")[0]


# The one table of architectures: a third is one row here and its preset in
# CMakePresets.json (and its compilers in scripts/common.sh's package lists).
ARCHITECTURES = {a.name: a for a in (
    Architecture("x64", "x86_64-w64-mingw32", 0x8664, "ProgramFiles64Folder", True, "64bit",
                 "windows"),
    Architecture("x86", "i686-w64-mingw32", 0x14C, "ProgramFilesFolder", False, "32bit",
                 "windows-x86"),
)}


def facts() -> dict:
    parser = configparser.ConfigParser(interpolation=None)
    with open(os.path.join(HERE, "package.ini"), encoding="utf-8") as f:
        parser.read_file(f)
    return dict(parser["package"])


def code(kind: str, *parts) -> str:
    namespace = uuid.UUID(facts()["code_namespace"])
    return "{%s}" % str(uuid.uuid5(namespace, "/".join((kind,) + parts))).upper()


def product_code(version: str, architecture: str) -> str:
    return code("product", version, architecture)


def version_of(top: str) -> str:
    return top[len(TOP_PREFIX):]


def top_folder(version: str) -> str:
    return TOP_PREFIX + version


def zip_name(version: str) -> str:
    return "%s-windows.zip" % top_folder(version)


def signed_zip_path(zip_path: str) -> str:
    return (zip_path[:-4] if zip_path.lower().endswith(".zip") else zip_path) + "-signed.zip"


def sums_name(version: str, signed: bool = False) -> str:
    return "%s%s-SHA256SUMS" % (top_folder(version), "-signed" if signed else "")


def msi_name(version: str, architecture: str, signed: bool = False) -> str:
    return "portcheck-%s-%s%s.msi" % (version, architecture, "-signed" if signed else "")


def sbom_name(zip_path: str) -> str:
    return os.path.basename(zip_path)[:-len(".zip")] + ".cdx.json"


def record_path(zip_path: str) -> str:
    stem = zip_path[:-len(".zip")] if zip_path.endswith(".zip") else zip_path
    return stem + ".buildinfo"


if __name__ == "__main__":
    import argparse
    argparse.ArgumentParser(prog="release/package_facts.py", description="Prints "
                            "name:triple of each architecture, for scripts/release.sh.").parse_args()
    print(" ".join("%s:%s" % (a.name, a.triple) for a in ARCHITECTURES.values()))
