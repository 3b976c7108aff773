"""BUILDINFO.txt (in the zip: the packages whose output is the executables,
so an update that decides no byte of the zip does not change it) and the
.buildinfo beside it (every package that took part)."""
import importlib
import os
import re
import shutil

from release.package_facts import ARCHITECTURES
from release.tools import run_tool


def run(*command, folder=None, any_status=False) -> str:
    done = run_tool(list(command), cwd=folder, text=True)
    return done.stdout.strip() if done.returncode == 0 or any_status else ""


def checkout_commit(folder: str) -> str:
    """The commit, "with uncommitted changes" (untracked ones count: the build
    may read them), or "unknown"; writes nothing into the checkout."""
    commit = run("git", "-C", folder, "rev-parse", "--verify", "-q", "HEAD^{commit}")
    if not commit:
        return "unknown"
    changed = run("git", "--no-optional-locks", "-C", folder, "status", "--porcelain")
    return commit + (" with uncommitted changes" if changed else "")


def toolchain_files() -> list:
    files = []
    for triple in (a.triple for a in ARCHITECTURES.values()):
        compiler = triple + "-g++-posix"
        files += [shutil.which(compiler) or "", shutil.which(triple + "-windres") or ""]
        files += [run(compiler, "-print-prog-name=" + name) for name in ("cc1plus", "ld", "as")]
        files += [run(compiler, "-print-libgcc-file-name")]
        files += [run(compiler, "-print-file-name=" + name)
                  for name in ("libstdc++.a", "crt2.o", "libmingwex.a")]
    return files


# The libraries that shape the packages and the zip, by file name on any release.
LIBRARIES = re.compile(r"/lib(z|msi|msi-[\d.]+|gsf-1)\.so")


def environment_files() -> list:
    files = [shutil.which(name) or "" for name in ("cmake", "wixl", "python3")]
    # zlib, which compresses the zip, and Libmsi with the libgsf it writes
    # through, which finish the packages, show in the process's maps once
    # loaded, whatever their file names on this release.
    importlib.import_module("zlib")
    importlib.import_module("gi").require_version("Libmsi", "1.0")
    importlib.import_module("gi.repository.Libmsi").Record.new(1)  # the first call loads it
    with open("/proc/self/maps") as maps:
        loaded = sorted({line.split()[-1] for line in maps if LIBRARIES.search(line)})
    found = {LIBRARIES.search(path).group(1).split("-")[0] for path in loaded}
    if found != {"z", "msi", "gsf"}:  # a record that leaves one out would say nothing of it
        raise RuntimeError("zlib, Libmsi and libgsf are not all among the loaded libraries: %s"
                           % loaded)
    return files + loaded


def debian_suite() -> str:
    """This machine's Debian release by its code name, which the clean rebuild
    makes its root of."""
    try:
        with open("/etc/os-release") as f:
            fields = dict(line.rstrip("\n").partition("=")[::2] for line in f)
    except OSError:
        return "unknown"
    return fields.get("VERSION_CODENAME", "").strip('"') or "unknown"


def packages(files: list) -> list:
    files = [os.path.realpath(f) for f in files if f]
    # With /usr merged, dpkg knows some files by their older path.
    files += [f[len("/usr"):] for f in files if f.startswith("/usr/lib/")]
    owners = run("dpkg", "-S", *files, any_status=True)
    packages = sorted({line.split(": ", 1)[0] for line in owners.splitlines()
                       if ": /" in line and not line.startswith("diversion")})
    if not packages:
        return ["unknown"]
    versions = run("dpkg-query", "-W", "-f=${binary:Package} ${Version}\\n", *packages)
    return sorted(versions.splitlines()) or ["unknown"]


def build_info(version: str, commit: str, epoch: int, suite: str, tools: list) -> bytes:
    lines = ["portcheck %s" % version, "commit %s" % commit, "source-date-epoch %d" % epoch,
             "debian-suite %s" % suite]
    lines += ["built-with %s" % tool for tool in tools]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def parse(text: bytes) -> dict:
    """{"commit": ..., "source-date-epoch": ..., "debian-suite": ...,
    "built-with": {package: version}}."""
    fields = {"built-with": {}}
    for line in text.decode("ascii", "replace").splitlines():
        key, _, value = line.partition(" ")
        if key == "built-with":
            package, _, package_version = value.partition(" ")
            fields["built-with"][package] = package_version
        elif key in ("portcheck", "commit", "source-date-epoch", "debian-suite"):
            fields[key] = value
    return fields
