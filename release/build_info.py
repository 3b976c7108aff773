"""Where a release came from, in two records of the same form.
BUILDINFO.txt, in the zip: the version, the commit it was built from,
SOURCE_DATE_EPOCH, and the exact Debian packages whose output is the
executables (the mingw-w64 compilers, binutils and runtime). Nothing else of
the builder's machine, so two machines whose toolchains give the same
executables give the same zip, whatever else their images carry (a zlib or
CMake security update decides no byte of it).
<zip name>.buildinfo, beside the zip, like Debian's .buildinfo: the same
lines and every other package that took part (CMake, the zlib that
compresses the zip, Python, wixl and Libmsi), to tell why a rebuild elsewhere
differs. No host name, path or build time in either."""
import importlib
import os
import shutil

from package_facts import ARCHITECTURES
from tools import run_tool


def run(*command, folder=None, any_status=False) -> str:
    """What a command printed, or "" when it failed or could not start."""
    done = run_tool(list(command), cwd=folder, text=True)
    return done.stdout.strip() if done.returncode == 0 or any_status else ""


def checkout_commit(folder: str) -> str:
    """The commit a checkout is at, and whether its files differ from it
    (untracked files that git does not ignore count: the build may read
    them); "unknown" outside a git checkout. Writes nothing into it."""
    commit = run("git", "-C", folder, "rev-parse", "--verify", "-q", "HEAD^{commit}")
    if not commit:
        return "unknown"
    changed = run("git", "--no-optional-locks", "-C", folder, "status", "--porcelain")
    return commit + (" with uncommitted changes" if changed else "")


def toolchain_files() -> list:
    """The files of the tools whose output is the executables."""
    files = []
    for triple in (a.triple for a in ARCHITECTURES.values()):
        compiler = triple + "-g++-posix"
        files += [shutil.which(compiler) or "", shutil.which(triple + "-windres") or ""]
        files += [run(compiler, "-print-prog-name=" + name) for name in ("cc1plus", "ld", "as")]
        files += [run(compiler, "-print-libgcc-file-name")]
        files += [run(compiler, "-print-file-name=" + name)
                  for name in ("libstdc++.a", "crt2.o", "libmingwex.a")]
    return files


def environment_files() -> list:
    """The files of the other tools that take part in making a release."""
    files = [shutil.which(name) or "" for name in ("cmake", "wixl", "python3")]
    # zlib, which compresses the zip, shows in the process's maps once loaded.
    importlib.import_module("zlib")
    with open("/proc/self/maps") as maps:
        files += sorted({line.split()[-1] for line in maps if "/libz.so" in line})
    return files + ["/usr/lib/x86_64-linux-gnu/libmsi.so.0",
                    "/usr/lib/x86_64-linux-gnu/libgsf-1.so.114"]


def packages(files: list) -> list:
    """["package version", ...] for the packages that hold the files, sorted."""
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


def build_info(version: str, commit: str, epoch: int, tools: list) -> bytes:
    """The file's text: one "key value" line each, CR LF ends like README.txt."""
    lines = ["portcheck %s" % version, "commit %s" % commit, "source-date-epoch %d" % epoch]
    lines += ["built-with %s" % tool for tool in tools]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def parse(text: bytes) -> dict:
    """{"commit": ..., "source-date-epoch": ..., "built-with": {package: version}}
    of a BUILDINFO.txt's bytes; fields that are missing or unreadable are left out."""
    fields = {"built-with": {}}
    for line in text.decode("ascii", "replace").splitlines():
        key, _, value = line.partition(" ")
        if key == "built-with":
            package, _, package_version = value.partition(" ")
            fields["built-with"][package] = package_version
        elif key in ("portcheck", "commit", "source-date-epoch"):
            fields[key] = value
    return fields
