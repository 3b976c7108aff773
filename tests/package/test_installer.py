"""The Windows Installer packages under Wine, for each architecture: a silent
install into Program Files, the utility run through PATH from another folder
against the demo devices (its output compared with the packaged executable's
own, run directly); an upgrade to a build of the same source with a higher
version leaves one Apps & Features entry and the new executable; a downgrade
is refused and changes nothing; uninstalling leaves no file, folder, PATH
entry, registry value or Apps & Features entry. Then the same with
INSTALLDIR="..." on the command line as winget passes it: the upgrade and the
uninstall find that folder again. Then one architecture's package over the
other's, both orders, same version and newer: it replaces it. And the tables
against the Windows Installer validation rules that Wine does not enforce."""
import functools
import os
import re
import shutil
import subprocess
import unittest

from tests.support import shared_release
from tests.support.shared_release import BOTH
from release.make_msi import Libmsi, is_short, run_sql, set_package_code
from release.package_facts import facts, product_code
from release.zip_reading import read_zip
from tests.support.wine_registry import WINE, regedit

ENVIRONMENT = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
DEFAULT_FOLDER = {"x64": r"C:\Program Files\Zelnar Port Check",
                  "x86": r"C:\Program Files (x86)\Zelnar Port Check"}
CUSTOM_FOLDER = r"C:\Lab Tools\Port Check"


def newer_release(version):
    """A release of a copy of this source tree with a higher version: {name: path}."""
    folder = os.path.join(shared_release.work(), version)
    shared_release.copy_tree(folder)
    cmake = os.path.join(folder, "CMakeLists.txt")
    with open(cmake) as f:
        text = f.read().replace("project(portcheck VERSION 1.0.0", "project(portcheck VERSION %s"
                                % version)
    with open(cmake, "w") as f:
        f.write(text)
    epoch = subprocess.run(["git", "log", "-1", "--format=%ct"], check=True,
                           capture_output=True, text=True).stdout.strip()
    return shared_release.make_release(folder, folder, dict(os.environ, SOURCE_DATE_EPOCH=epoch))


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
        """The machine's PATH, as the 64-bit view holds it."""
        found = re.search(r"PATH\s+REG_\w+\s+(.*)", self.query(ENVIRONMENT, "/v", "PATH"))
        return found.group(1).strip() if found else ""


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


@functools.lru_cache(maxsize=None)
def exported(msi, table):
    """A table as msiinfo exports it: a package is read once per table."""
    return subprocess.run(["msiinfo", "export", msi, table], capture_output=True,
                          text=True).stdout


def summary(msi):
    return subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True).stdout


def rows(msi, table):
    """The rows of a table, as lists of fields."""
    return [line.split("\t") for line in exported(msi, table).splitlines()[3:]]


def validation_problems(msi):
    """The validation rules (ICE) that this package could break and Wine's
    Windows Installer does not enforce."""
    problems = []
    hashed = {row[0] for row in rows(msi, "MsiFileHash")}
    for key, _, name, _, version, *_ in rows(msi, "File"):
        if re.fullmatch(r"\d+(\.\d+){1,3}", version) and key in hashed:  # ICE60
            problems.append("ICE60: %s has a version and a file hash" % key)
        short = name.split("|")[0]
        if not is_short(short):  # ICE03
            problems.append("ICE03: the file name %r has no valid short form" % name)
    for key, parent, default in rows(msi, "Directory"):
        for part in default.split(":") if parent and default != "." else []:
            if not is_short(part.split("|")[0]):
                problems.append("ICE03: the folder name %r has no valid short form" % part)
    names = {row[2].split("|")[-1] for row in rows(msi, "File")}
    for name in ("portcheck.exe", "README.txt", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt"):
        if name not in names:
            problems.append("the package does not install %s" % name)
    return problems


def package_code(msi):
    return re.search(r"Revision number \(UUID\): (\S+)", summary(msi)).group(1)


def package_code_problems(msi, work):
    """Two packages that differ in one table value have different package codes."""
    changed = os.path.join(work, "changed.msi")
    shutil.copy(msi, changed)
    database = Libmsi.Database.new(changed, Libmsi.DbFlags.TRANSACT, None)
    run_sql(database, "UPDATE `Property` SET `Value` = '0' WHERE `Property` = 'ARPNOREPAIR'")
    database.commit()
    set_package_code(changed)
    if package_code(changed) == package_code(msi):
        return ["a package with one table value changed kept the package code %s"
                % package_code(msi)]
    return []


def table_problems(msi, architecture):
    problems = validation_problems(msi)
    for table, row in TABLE_ROWS:
        if row not in exported(msi, table):
            problems.append("table %s lacks %r:\n%s" % (table, row, exported(msi, table)))
    said = summary(msi)
    template = {"x64": "x64;1033", "x86": "Intel;1033"}[architecture]
    for line in ("Template: %s" % template, "Version: 200 "):  # Windows Installer 2.0
        if line not in said:
            problems.append("summary lacks %r:\n%s" % (line, said))
    return problems


def installed_problems(prefix, folder, exe, version, architecture):
    problems = []
    unix = prefix.unix(folder)
    for name in ("portcheck.exe", "README.txt", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt"):
        if not os.path.isfile(os.path.join(unix, name)):
            problems.append("%s not installed in %s" % (name, folder))
    if os.path.isfile(os.path.join(unix, "portcheck.exe")):
        with open(os.path.join(unix, "portcheck.exe"), "rb") as f, open(exe, "rb") as g:
            if f.read() != g.read():
                problems.append("the installed portcheck.exe is not %s's" % version)
    # Both the default and the custom folder end in "Port Check".
    ours = [part for part in prefix.path().split(";") if "port check" in part.lower()]
    if len(ours) != 1 or folder.lower() not in ours[0].lower():
        problems.append("PATH does not hold %s once: %s" % (folder, prefix.path()))
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
    if "port check" in prefix.path().lower():
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


def executable(version, architecture, work):
    return os.path.join(work, "%s-%s.exe" % (version, architecture))


def unpack_executables(releases, work):
    """Each release's executables, where executable() names them."""
    for version, files in releases.items():
        contents = read_zip(next(p for n, p in files.items() if n.endswith(".zip"))).files
        for architecture in DEFAULT_FOLDER:
            with open(executable(version, architecture, work), "wb") as f:
                f.write(contents["%s/portcheck.exe" % architecture])


def install_as_winget_does(prefix, msi, folder, work):
    """msiexec's status, given INSTALLDIR="<folder>" as winget's --location
    passes it (quoted, no trailing backslash), through a batch file so that
    no other quoting comes between."""
    with open(os.path.join(work, "winget.bat"), "w", newline="\r\n") as f:
        f.write('start /wait msiexec /i "Z:%s" /qn INSTALLDIR="%s"\nexit /b %%errorlevel%%\n'
                % (msi.replace("/", "\\"), folder))
    return prefix.run("cmd", "/c", "winget.bat").returncode


def lifecycle(prefix, old, new, architecture, custom, work):
    """Install, upgrade, downgrade and uninstall; a list of problems."""
    msi = lambda files: files["portcheck-%s-%s.msi" % (
        "1.0.1" if files is new else "1.0.0", architecture)]
    exe = lambda files: executable(
        "1.0.1" if files is new else "1.0.0", architecture, work)
    folder = CUSTOM_FOLDER if custom else DEFAULT_FOLDER[architecture]
    problems = []
    step = lambda *arguments: prefix.run("msiexec", *arguments).returncode
    status = install_as_winget_does(prefix, msi(old), folder, work) if custom else \
        step("/i", msi(old), "/qn")
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


def replacement(prefix, releases, first, work):
    """The other architecture's package over the first's, same version, then
    the first's at a newer version over that: each replaces what is there."""
    second = "x86" if first == "x64" else "x64"
    package = lambda version, architecture: releases[version][
        "portcheck-%s-%s.msi" % (version, architecture)]
    problems = []
    for number, (version, architecture) in enumerate((("1.0.0", first), ("1.0.0", second),
                                                      ("1.0.1", first))):
        status = prefix.run("msiexec", "/i", package(version, architecture), "/qn").returncode
        if status != 0:
            return problems + ["%s %s: msiexec status %d" % (architecture, version, status)]
        if number == 0:
            continue
        replaced = "x86" if architecture == "x64" else "x64"
        problems += ["%s %s over %s: %s" % (architecture, version, replaced, p) for p in
                     installed_problems(prefix, DEFAULT_FOLDER[architecture],
                                        executable(version, architecture, work), version,
                                        architecture)]
        if os.path.exists(prefix.unix(DEFAULT_FOLDER[replaced])):
            problems.append("%s %s over %s: %s is still there" % (
                architecture, version, replaced, DEFAULT_FOLDER[replaced]))
    status = prefix.run("msiexec", "/x", product_code("1.0.1", first), "/qn").returncode
    problems += ["uninstall: msiexec status %d" % status] if status else []
    return problems + gone_problems(prefix, DEFAULT_FOLDER[first]) + \
        gone_problems(prefix, DEFAULT_FOLDER[second])


class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = os.path.join(shared_release.work(), "installer")
        os.makedirs(cls.work)
        cls.releases = {"1.0.0": shared_release.release(), "1.0.1": newer_release("1.0.1")}
        unpack_executables(cls.releases, cls.work)

    def test_lifecycles(self):
        old, new = self.releases["1.0.0"], self.releases["1.0.1"]
        # A prefix for each architecture: Wine's Windows Installer leaves an
        # empty element in PATH where it took one out, and Wine's cmd stops
        # looking at the first empty element, so a command installed after an
        # uninstall is not found through PATH there (Windows removes the
        # separator with the part).
        for architecture in ("x64", "x86"):
            with shared_release.prefix("prefix-" + architecture) as path:
                for custom in (False, True):
                    with self.subTest(architecture, INSTALLDIR_as_winget_gives_it=custom):
                        self.assertEqual(lifecycle(Prefix(path, self.work), old, new,
                                                   architecture, custom, self.work), [])

    def test_other_architecture_replaces(self):
        with shared_release.prefix("prefix-both") as path:
            for first in ("x86", "x64"):
                with self.subTest(first=first):
                    self.assertEqual(replacement(Prefix(path, self.work), self.releases, first,
                                                 self.work), [])

    def test_tables(self):
        for architecture in ("x64", "x86"):
            with self.subTest(architecture):
                self.assertEqual(table_problems(self.releases["1.0.0"][
                    "portcheck-1.0.0-%s.msi" % architecture], architecture), [])

    def test_package_code_follows_content(self):
        self.assertEqual(package_code_problems(self.releases["1.0.0"]["portcheck-1.0.0-x64.msi"],
                                               self.work), [])
