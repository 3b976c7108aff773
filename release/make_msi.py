#!/usr/bin/python3
"""Both architectures' Windows Installer packages of a release zip, built by
wixl from portcheck.wxs, then finished with Libmsi where wixl cannot write
(the Environment table, short names, the upgrade row, the package code and
the summary's times), so that the same zip gives the same bytes."""
import argparse
import hashlib
import os
import re
import sys
import tempfile

import gi
import pefile

if __package__ in (None, ""):  # started as a file: the packages lie at the checkout's top
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from release.package_facts import ARCHITECTURES, code, facts, msi_name, product_code, version_of
from release.safe_output import end_cleanly_on_signals, write_output
from release.tools import run_tool, write_file
from release.zip_reading import read_zip

gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "portcheck.wxs")
# The zip's texts that the package installs beside the program: (name,
# component, file key); keys are identifiers, which allow no hyphen.
TEXTS = (("README.txt", "Readme", "README.txt"), ("LICENSE.txt", "Licence", "LICENSE.txt"),
         ("THIRD-PARTY-NOTICES.txt", "Notices", "THIRD_PARTY_NOTICES.txt"))
ENVIRONMENT_TABLE = (
    "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL "
    "LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY "
    "`Environment`)")
# Windows Installer's standard places for the two environment actions.
TABLES = [
    # Appended to the machine's PATH on install ("=", "*", "[~];"), and that
    # part taken out again when the component is removed ("-").
    "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) VALUES "
    "('PATH', '=-*PATH', '[~];[INSTALLDIR]', 'Program')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES "
    "('RemoveEnvironmentStrings', 3300)",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES "
    "('WriteEnvironmentStrings', 5200)",
    # Apps & Features' install location: the folder as resolved (type 51
    # sets a property), after CostFinalize and before RegisterProduct. (wixl
    # writes a SetProperty as type 2099 at the end of the sequence.)
    "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES "
    "('SetInstallLocation', 51, 'ARPINSTALLLOCATION', '[INSTALLDIR]')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES "
    "('SetInstallLocation', 1010)",
]


def file_version(image: bytes) -> tuple:
    """(FileVersion "a.b.c.d", language "1033") of the build's own image."""
    pe = pefile.PE(data=image, fast_load=True)
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    fixed = pe.VS_FIXEDFILEINFO[0]
    most, least = fixed.FileVersionMS, fixed.FileVersionLS
    translation = [var.entry[b"Translation"] for info in pe.FileInfo[0]
                   if info.Key == b"VarFileInfo" for var in info.Var][0]
    language = int(translation.split()[0], 16)
    return "%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF), str(language)


def variables(version: str, architecture: str) -> list:
    f = facts()
    target = ARCHITECTURES[architecture]
    values = {"ProductCode": product_code(version, architecture), "Version": version,
              "Name": f["name"], "Publisher": f["publisher"], "UpgradeCode": f["upgrade_code"],
              "Homepage": f["homepage"], "RegistryKey": f["registry_key"],
              "Folder": f["folder"], "ProgramFiles": target.program_files,
              "Win64": "yes" if target.win64 else "no",
              "ProgramGuid": code("component", architecture, "portcheck.exe")}
    values.update({part + "Guid": code("component", architecture, name)
                   for name, part, _ in TEXTS})
    return [word for name, value in values.items() for word in ("-D", "%s=%s" % (name, value))]


# What a short (8.3) name may hold besides its one dot (Windows Installer's
# Filename type).
NOT_SHORT = re.compile(r"[^A-Za-z0-9_^$~!#%&{}@`'()-]")


def is_short(name: str) -> bool:
    base, dot, extension = name.partition(".")
    return (0 < len(base) <= 8 and len(extension) <= 3 and (extension != "" or not dot)
            and not NOT_SHORT.search(base + extension))


def with_short_name(name: str, taken: set) -> str:
    """"SHORT~N.EXT|long name", unique among taken: Windows Installer needs
    both, for volumes of short names only and for SHORTFILENAMES."""
    if is_short(name) or "|" in name:
        return name
    base, _, extension = name.rpartition(".") if "." in name else (name, "", "")
    base, extension = NOT_SHORT.sub("", base).upper(), NOT_SHORT.sub("", extension).upper()[:3]
    number = 1
    while True:
        short = "%s~%d%s" % (base[:7 - len(str(number))], number,
                             "." + extension if extension else "")
        if short.lower() not in taken:
            taken.add(short.lower())
            return short + "|" + name
        number += 1


def run_sql(database, sql: str, *values) -> list:
    record = None
    if values:
        record = Libmsi.Record.new(len(values))
        for number, value in enumerate(values, 1):
            record.set_string(number, value)
    query = Libmsi.Query.new(database, sql)
    query.execute(record)
    rows = []
    while sql.startswith("SELECT"):
        row = query.fetch()
        if row is None:
            break
        rows.append([row.get_string(n) for n in range(1, row.get_field_count() + 1)])
    query.close()
    return rows


def add_short_names(database) -> None:
    taken = set()
    for key, name in run_sql(database, "SELECT `File`, `FileName` FROM `File`"):
        run_sql(database, "UPDATE `File` SET `FileName` = ? WHERE `File` = ?",
                with_short_name(name, taken), key)
    for key, parent, default in run_sql(
            database, "SELECT `Directory`, `Directory_Parent`, `DefaultDir` FROM `Directory`"):
        if parent and default != ".":
            named = ":".join(with_short_name(part, set()) for part in default.split(":"))
            run_sql(database, "UPDATE `Directory` SET `DefaultDir` = ? WHERE `Directory` = ?",
                    named, key)


def finish(path: str, product_version: str, image: bytes, epoch: int) -> None:
    version, language = file_version(image)
    database = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    # wixl 0.106 and later write the Environment table, empty; 0.101 none.
    made = run_sql(database, "SELECT `Name` FROM `_Tables` WHERE `Name` = 'Environment'")
    for sql in ([] if made else [ENVIRONMENT_TABLE]) + TABLES + [
            # Windows Installer's file-replacement rules compare this version; a
            # versioned file has no hash (wixl hashed it while it had none).
            "UPDATE `File` SET `Version` = '%s', `Language` = '%s' WHERE `File` = 'portcheck.exe'"
            % (version, language),
            "DELETE FROM `MsiFileHash` WHERE `File_` = 'portcheck.exe'",
            # The same version counts as older (VersionMaxInclusive, 512, beside
            # MigrateFeatures), so that either architecture's package replaces the
            # other's of the same version; wixl ignores AllowSameVersionUpgrades.
            # Attributes is part of the row's key: the row is written anew.
            "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'",
            "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) "
            "VALUES ('%s', '%s', 513, 'WIX_UPGRADE_DETECTED')" % (facts()["upgrade_code"],
                                                                  product_version)]:
        run_sql(database, sql)
    add_short_names(database)
    summary = Libmsi.SummaryInfo.new(database, 10)
    filetime = (epoch + 11644473600) * 10000000  # FILETIME counts from 1601, in 100 ns
    summary.set_filetime(Libmsi.Property.CREATED_TM, filetime)
    summary.set_filetime(Libmsi.Property.LASTSAVED_TM, filetime)
    summary.persist()
    database.commit()
    set_package_code(path)


def set_package_code(path: str) -> None:
    """Derived from the package's bytes, a blank code standing in: Windows
    Installer takes two packages of one code for the same cached one. The
    blank is a commit of its own: set in finish()'s, it gives other bytes."""
    set_summary_code(path, "{00000000-0000-0000-0000-000000000000}")
    with open(path, "rb") as f:
        set_summary_code(path, code("package", hashlib.sha256(f.read()).hexdigest()))


def set_summary_code(path: str, package_code: str) -> None:
    database = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    summary = Libmsi.SummaryInfo.new(database, 10)
    summary.set_string(Libmsi.Property.UUID, package_code)
    summary.persist()
    database.commit()


def msi_bytes(version: str, architecture: str, image: bytes, texts: dict,
              epoch: int) -> bytes:
    """Raises RuntimeError with wixl's words if it fails."""
    with tempfile.TemporaryDirectory() as work:
        for name, data in [("portcheck.exe", image)] + [
                (name, texts[name]) for name, _, _ in TEXTS]:
            os.utime(write_file(os.path.join(work, name), data), (epoch, epoch))
        made = run_tool(["wixl", "-a", architecture, "-o", "out.msi"]
                        + variables(version, architecture) + [SOURCE], cwd=work, text=True,
                        env={"TZ": "UTC"})
        out = os.path.join(work, "out.msi")
        if made.returncode != 0 or not os.path.exists(out):
            raise RuntimeError("wixl could not build the %s package:\n%s" % (
                architecture, made.stdout + made.stderr))
        finish(out, version, image, epoch)
        with open(out, "rb") as f:
            return f.read()


def packages(top: str, files: dict, epoch: int) -> dict:
    version = version_of(top)
    return {msi_name(version, architecture): msi_bytes(
        version, architecture, files["%s/portcheck.exe" % architecture], files, epoch)
        for architecture in ARCHITECTURES}


def main(arguments: list) -> int:
    parser = argparse.ArgumentParser(prog="make_msi.py", description="Writes both "
                                     "architectures' Windows Installer packages of a release zip.")
    parser.add_argument("zip")
    parser.add_argument("folder")
    given = parser.parse_args(arguments)
    end_cleanly_on_signals()
    top, files, _, epoch = read_zip(given.zip)
    for name, data in sorted(packages(top, files, epoch).items()):
        print(write_output(os.path.join(given.folder, name), data))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
