"""The fixed facts of the packages built around the utility (release/package.ini):
the product's name and codes, the architectures' packages and their names.
Read by the steps that make, describe, sign and check a release."""
import configparser
import os
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
TOP_PREFIX = "portcheck-"
ARCHITECTURES = {  # wixl's -a, the Program Files folder, whether 64-bit
    "x64": ("x64", "ProgramFiles64Folder", True),
    "x86": ("x86", "ProgramFilesFolder", False),
}


def facts() -> dict:
    """The fixed facts (release/package.ini)."""
    parser = configparser.ConfigParser(interpolation=None)
    with open(os.path.join(HERE, "package.ini"), encoding="utf-8") as f:
        parser.read_file(f)
    return dict(parser["package"])


def code(kind: str, *parts) -> str:
    """A GUID derived from the facts' name space, in Windows Installer's form."""
    namespace = uuid.UUID(facts()["code_namespace"])
    return "{%s}" % str(uuid.uuid5(namespace, "/".join((kind,) + parts))).upper()


def product_code(version: str, architecture: str) -> str:
    return code("product", version, architecture)


def version_of(top: str) -> str:
    """The version a release's top folder names (portcheck-<version>)."""
    return top[len(TOP_PREFIX):]


def msi_name(version: str, architecture: str, signed: bool = False) -> str:
    return "portcheck-%s-%s%s.msi" % (version, architecture, "-signed" if signed else "")


def sbom_name(zip_path: str) -> str:
    """The SBOM's name: the zip's with .cdx.json."""
    return os.path.basename(zip_path)[:-len(".zip")] + ".cdx.json"


def record_path(zip_path: str) -> str:
    """Where the full record of a zip's build lies: beside it."""
    stem = zip_path[:-len(".zip")] if zip_path.endswith(".zip") else zip_path
    return stem + ".buildinfo"
