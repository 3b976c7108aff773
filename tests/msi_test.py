#!/usr/bin/python3
"""The Windows Installer packages under Wine, for each architecture: a silent
install into Program Files, the utility run through PATH from another folder
against the demo devices (its output compared with the packaged executable's
own, run directly); an upgrade to a build of the same source with a higher
version leaves one Apps & Features entry and the new executable; a downgrade
is refused and changes nothing; uninstalling leaves no file, folder, PATH
entry, registry value or Apps & Features entry. Then the same with
INSTALLDIR= on the command line: the upgrade and the uninstall find that
folder again. Run from the top of the source tree."""
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "release"))
from checks import report  # noqa: E402
from release_test import copy_tree  # noqa: E402
from make_msi import facts, product_code  # noqa: E402
from release_zip import read_zip  # noqa: E402
from wine_registry import WINE, regedit  # noqa: E402

ENVIRONMENT = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
DEFAULT_FOLDER = {"x64": r"C:\Program Files\Zelnar Port Check",
                  "x86": r"C:\Program Files (x86)\Zelnar Port Check"}
CUSTOM_FOLDER = r"C:\Lab Tools\Port Check"
# Both packages install into one prefix, of the Wine that runs 32-bit programs too.
BOTH = dict(os.environ, PORTCHECK_WINE_ARCH="x86")


def release(folder, version):
    """A release of this source tree with the given version: {name: path}."""
    copy_tree(folder)
    cmake = os.path.join(folder, "CMakeLists.txt")
    with open(cmake) as f:
        text = f.read().replace("project(portcheck VERSION 1.0.0", "project(portcheck VERSION %s"
                                % version)
    with open(cmake, "w") as f:
        f.write(text)
    epoch = subprocess.run(["git", "log", "-1", "--format=%ct"], check=True,
                           capture_output=True, text=True).stdout.strip()
    made = subprocess.run(["sh", "scripts/release.sh"], cwd=folder, check=True,
                          env=dict(os.environ, SOURCE_DATE_EPOCH=epoch),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)
    dist = os.path.dirname(made.stdout.splitlines()[-1])
    return {name: os.path.join(dist, name) for name in os.listdir(dist)}


class Prefix:
    """Runs Wine's tools in one prefix."""

    def __init__(self, path, work):
        self.env = dict(BOTH, WINEPREFIX=path, WINEDEBUG="-all")
        self.work = work

    def run(self, *command, cwd=None):
        return subprocess.run(WINE + list(command), env=self.env, cwd=cwd or self.work,
                              stdin=subprocess.DEVNULL, capture_output=True)

    def unix(self, windows_path):
        return os.path.join(self.env["WINEPREFIX"], "drive_c",
                            *windows_path[3:].split("\\"))

    def query(self, key, *options):
        said = b""
        for view in ("/reg:64", "/reg:32"):
            said += self.run("reg", "query", key, view, *options).stdout
        return said.decode("utf-16-le" if said[:2] == b"\xff\xfe" else "latin-1", "replace")

    def entries(self):
        """The Apps & Features entries named like the product, in both views."""
        return len(re.findall(r"^\s*DisplayName\s+REG_SZ\s+Zelnar Port Check\s*$",
                              self.query(UNINSTALL, "/s"), re.MULTILINE))

    def path(self):
        return self.query(ENVIRONMENT, "/v", "PATH")


# What Wine's Windows Installer does not show by behaving differently (it
# removes an appended PATH part on uninstall even without "-"), checked in
# the package's own tables instead: (table, row it must hold).
TABLE_ROWS = [
    ("Environment", "PATH\t=-*PATH\t[~];[INSTALLDIR]\tProgram"),
    ("InstallExecuteSequence", "RemoveEnvironmentStrings\t\t3300"),
    ("InstallExecuteSequence", "WriteEnvironmentStrings\t\t5200"),
    ("InstallExecuteSequence", "SetInstallLocation\t\t1010"),
    ("CustomAction", "SetInstallLocation\t51\tARPINSTALLLOCATION\t[INSTALLDIR]"),
    ("File", "\t1.0.0.0\t1033\t"),
    ("LaunchCondition", "NOT WIX_DOWNGRADE_DETECTED\t"),
    ("Property", "ARPNOMODIFY\t1"),
    ("Property", "ARPNOREPAIR\t1"),
    ("Property", "ALLUSERS\t1"),
]


def table_problems(msi, architecture):
    problems = []
    for table, row in TABLE_ROWS:
        rows = subprocess.run(["msiinfo", "export", msi, table], capture_output=True,
                              text=True).stdout
        if row not in rows:
            problems.append("table %s lacks %r:\n%s" % (table, row, rows))
    summary = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True).stdout
    template = {"x64": "x64;1033", "x86": "Intel;1033"}[architecture]
    for line in ("Template: %s" % template, "Version: 200 "):  # Windows Installer 2.0
        if line not in summary:
            problems.append("summary lacks %r:\n%s" % (line, summary))
    return problems


def installed_problems(prefix, folder, exe, version, architecture):
    problems = []
    unix = prefix.unix(folder)
    for name in ("portcheck.exe", "README.txt"):
        if not os.path.isfile(os.path.join(unix, name)):
            problems.append("%s not installed in %s" % (name, folder))
    if os.path.isfile(os.path.join(unix, "portcheck.exe")):
        with open(os.path.join(unix, "portcheck.exe"), "rb") as f, open(exe, "rb") as g:
            if f.read() != g.read():
                problems.append("the installed portcheck.exe is not %s's" % version)
    if folder.lower() not in prefix.path().lower():
        problems.append("PATH does not hold %s: %s" % (folder, prefix.path()))
    listing = prefix.query(UNINSTALL + "\\" + product_code(version, architecture))
    for text in ("Zelnar Port Check", version, facts()["homepage"], folder):
        if text.lower() not in listing.lower():
            problems.append("Apps & Features entry lacks %r:\n%s" % (text, listing))
    if prefix.entries() != 1:
        problems.append("%d Apps & Features entries, want 1" % prefix.entries())
    return problems


def gone_problems(prefix, folder):
    problems = []
    if os.path.exists(prefix.unix(folder)):
        problems.append("%s is still there: %s" % (folder, os.listdir(prefix.unix(folder))))
    if "zelnar" in prefix.path().lower():
        problems.append("PATH still names the folder: %s" % prefix.path())
    if prefix.entries():
        problems.append("an Apps & Features entry is left")
    if "InstallDir" in prefix.query("HKLM\\" + facts()["registry_key"]):
        problems.append("the remembered folder is left in the registry")
    return problems


def run_through_path(prefix, exe, architecture, work):
    """The utility typed as `portcheck` in another folder, against the demo
    devices, compared with the packaged executable run directly."""
    regedit(os.path.join("scripts", "demo-devices.reg"), prefix.env)
    elsewhere = os.path.join(work, "another folder")
    os.makedirs(elsewhere, exist_ok=True)
    typed = prefix.run("cmd", "/c", "portcheck", cwd=elsewhere)
    direct = prefix.run(exe, cwd=elsewhere)
    if (typed.stdout, typed.returncode) != (direct.stdout, direct.returncode) \
            or b"Found" not in typed.stdout or direct.returncode != 0:
        return ["through PATH: %r (status %d); directly: %r (status %d)" % (
            typed.stdout, typed.returncode, direct.stdout, direct.returncode)]
    return []


def lifecycle(prefix, old, new, architecture, custom, work):
    """Install, upgrade, downgrade and uninstall; a list of problems."""
    msi = lambda files: files["portcheck-%s-%s.msi" % (  # noqa: E731
        "1.0.1" if files is new else "1.0.0", architecture)]
    exe = lambda files: os.path.join(work, "%s-%s.exe" % (  # noqa: E731
        "new" if files is new else "old", architecture))
    for files in (old, new):
        top, contents, _, _ = read_zip(next(p for n, p in files.items() if n.endswith(".zip")))
        with open(exe(files), "wb") as f:
            f.write(contents["%s/portcheck.exe" % architecture])
    folder = CUSTOM_FOLDER if custom else DEFAULT_FOLDER[architecture]
    problems = [] if custom else table_problems(msi(old), architecture)
    step = lambda *arguments: prefix.run("msiexec", *arguments).returncode  # noqa: E731
    status = step("/i", msi(old), "/qn", *(["INSTALLDIR=%s\\" % folder] if custom else []))
    if status != 0:
        return ["install: msiexec status %d" % status]
    problems += installed_problems(prefix, folder, exe(old), "1.0.0", architecture)
    if not custom:
        problems += run_through_path(prefix, exe(old), architecture, work)
    status = step("/i", msi(new), "/qn")
    problems += ["upgrade: msiexec status %d" % status] if status else []
    problems += ["after the upgrade: " + p
                 for p in installed_problems(prefix, folder, exe(new), "1.0.1", architecture)]
    if not custom:
        status = step("/i", msi(old), "/qn")
        problems += [] if status else ["the downgrade was not refused"]
        problems += ["after the refused downgrade: " + p for p in
                     installed_problems(prefix, folder, exe(new), "1.0.1", architecture)]
    status = step("/x", product_code("1.0.1", architecture), "/qn")
    problems += ["uninstall: msiexec status %d" % status] if status else []
    return problems + gone_problems(prefix, folder)


def main():
    with tempfile.TemporaryDirectory() as work:
        old = release(os.path.join(work, "old"), "1.0.0")
        new = release(os.path.join(work, "new"), "1.0.1")
        prefix_path = os.path.join(work, "prefix")
        subprocess.run(["sh", "scripts/wine-prefix.sh", "make", prefix_path], check=True, env=BOTH)
        prefix = Prefix(prefix_path, work)
        try:
            results = [("%s package%s" % (architecture, ", INSTALLDIR= given" if custom else ""),
                        lifecycle(prefix, old, new, architecture, custom, work))
                       for architecture in ("x64", "x86") for custom in (False, True)]
        finally:
            subprocess.run(["sh", "scripts/wine-prefix.sh", "down", prefix_path], env=BOTH)
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
