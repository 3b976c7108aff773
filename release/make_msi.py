#!/usr/bin/python3
"""The Windows Installer package of one architecture: per machine, into
Program Files\\Zelnar Port Check, with the executable and README.txt, the
folder added to the system PATH, an Apps & Features entry, and a major
upgrade that refuses a downgrade. Windows Installer 2.0 is enough, so it
installs on every Windows the executable runs on.

Debian's wixl (msitools) builds it; its tables are then finished with
msitools' own library (Libmsi), because wixl has no Environment element and
leaves the package code random and the summary's times at the wall clock.
Byte-reproducible: file times, summary times and every code come from the
inputs.
Both packages are made from a release zip's own executables and README.txt,
at the zip's time."""
import configparser
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import uuid
from xml.sax.saxutils import quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))
ARCHITECTURES = {  # wixl's -a, the Program Files folder, whether 64-bit
    "x64": ("x64", "ProgramFiles64Folder", True),
    "x86": ("x86", "ProgramFilesFolder", False),
}
# Windows Installer's standard places for the two environment actions.
TABLES = [
    "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL "
    "LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY "
    "`Environment`)",
    # Appended to the machine's PATH on install ("=", "*", "[~];"), and that
    # part taken out again when the component is removed ("-").
    "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) VALUES "
    "('PATH', '=-*PATH', '[~];[INSTALLDIR]', 'Program')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES "
    "('RemoveEnvironmentStrings', 3300)",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES "
    "('WriteEnvironmentStrings', 5200)",
    # Apps & Features' install location: the folder as resolved (type 51
    # sets a property), after CostFinalize and before RegisterProduct.
    "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES "
    "('SetInstallLocation', 51, 'ARPINSTALLLOCATION', '[INSTALLDIR]')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES "
    "('SetInstallLocation', 1010)",
]


def facts():
    """The fixed facts (release/package.ini)."""
    parser = configparser.ConfigParser(interpolation=None)
    with open(os.path.join(HERE, "package.ini"), encoding="utf-8") as f:
        parser.read_file(f)
    return dict(parser["package"])


def code(kind, *parts):
    """A GUID derived from the facts' name space, in Windows Installer's form."""
    namespace = uuid.UUID(facts()["code_namespace"])
    return "{%s}" % str(uuid.uuid5(namespace, "/".join((kind,) + parts))).upper()


def product_code(version, architecture):
    return code("product", version, architecture)


def file_version(image):
    """(FileVersion "a.b.c.d", language "1033") from a PE image's version block."""
    at = image.find(struct.pack("<I", 0xFEEF04BD))
    most, least = struct.unpack_from("<II", image, at + 8)
    translation = image.find("Translation".encode("utf-16-le"))
    value = translation + len("Translation\0".encode("utf-16-le"))
    value += -value % 4
    language = struct.unpack_from("<H", image, value)[0]
    return "%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF), str(language)


def wxs(version, architecture):
    """The WiX source wixl builds from."""
    f = facts()
    _, program_files, win64 = ARCHITECTURES[architecture]
    bits = ' Win64="yes"' if win64 else ""
    a = lambda value: quoteattr(value)  # noqa: E731
    return f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id={a(product_code(version, architecture))} Name={a(f["name"])} Language="1033"
           Version={a(version)} Manufacturer={a(f["publisher"])} UpgradeCode={a(f["upgrade_code"])}>
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"
             Description={a(f["name"])} Manufacturer={a(f["publisher"])}/>
    <MajorUpgrade DowngradeErrorMessage={a("A newer version of %s is already installed; "
                                           "remove it first to install this one." % f["name"])}/>
    <Media Id="1" Cabinet="portcheck.cab" EmbedCab="yes"/>
    <Property Id="ARPNOMODIFY" Value="1"/>
    <Property Id="ARPNOREPAIR" Value="1"/>
    <Property Id="ARPHELPLINK" Value={a(f["homepage"])}/>
    <Property Id="ARPURLINFOABOUT" Value={a(f["homepage"])}/>
    <!-- An upgrade finds the folder of the installed version again. -->
    <Property Id="INSTALLDIR">
      <RegistrySearch Id="InstalledFolder" Root="HKLM" Key={a(f["registry_key"])}
                      Name="InstallDir" Type="raw"{bits}/>
    </Property>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id={a(program_files)}>
        <Directory Id="INSTALLDIR" Name={a(f["folder"])}>
          <Component Id="Program" Guid={a(code("component", architecture, "portcheck.exe"))}{bits}>
            <File Id="portcheck.exe" Source="portcheck.exe" KeyPath="yes"/>
            <RegistryValue Id="InstallDir" Root="HKLM" Key={a(f["registry_key"])} Name="InstallDir"
                           Type="string" Value="[INSTALLDIR]"/>
          </Component>
          <Component Id="Readme" Guid={a(code("component", architecture, "README.txt"))}{bits}>
            <File Id="README.txt" Source="README.txt" KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1">
      <ComponentRef Id="Program"/>
      <ComponentRef Id="Readme"/>
    </Feature>
  </Product>
</Wix>
"""


def finish(path, image, epoch, package_code):
    """Adds what wixl cannot write, and makes the summary reproducible."""
    import gi
    gi.require_version("Libmsi", "1.0")
    from gi.repository import Libmsi
    version, language = file_version(image)
    database = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    for sql in TABLES + [
            # Windows Installer's file-replacement rules compare this version.
            "UPDATE `File` SET `Version` = '%s', `Language` = '%s' WHERE `File` = 'portcheck.exe'"
            % (version, language)]:
        query = Libmsi.Query.new(database, sql)
        query.execute(None)
        query.close()
    summary = Libmsi.SummaryInfo.new(database, 10)
    summary.set_string(Libmsi.Property.UUID, package_code)
    filetime = (epoch + 11644473600) * 10000000  # FILETIME counts from 1601, in 100 ns
    summary.set_filetime(Libmsi.Property.CREATED_TM, filetime)
    summary.set_filetime(Libmsi.Property.LASTSAVED_TM, filetime)
    summary.persist()
    database.commit()


def msi_bytes(version, architecture, image, readme, epoch):
    """The package's bytes; raises RuntimeError with wixl's words if it fails."""
    source = wxs(version, architecture)
    content = hashlib.sha256()
    for part in (source.encode("utf-8"), image, readme, str(epoch).encode(), "\n".join(TABLES)
                 .encode()):
        content.update(hashlib.sha256(part).digest())
    with tempfile.TemporaryDirectory() as work:
        for name, data in (("portcheck.exe", image), ("README.txt", readme),
                           ("portcheck.wxs", source.encode("utf-8"))):
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)
            os.utime(os.path.join(work, name), (epoch, epoch))
        made = subprocess.run(["wixl", "-a", ARCHITECTURES[architecture][0], "-o", "out.msi",
                               "portcheck.wxs"], cwd=work, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, env=dict(os.environ, TZ="UTC"))
        out = os.path.join(work, "out.msi")
        if made.returncode != 0 or not os.path.exists(out):
            raise RuntimeError("wixl could not build the %s package:\n%s" % (
                architecture, made.stdout + made.stderr))
        finish(out, image, epoch, code("package", content.hexdigest()))
        with open(out, "rb") as f:
            return f.read()


def msi_name(version, architecture, signed=False):
    return "portcheck-%s-%s%s.msi" % (version, architecture, "-signed" if signed else "")


def packages(top, files, epoch):
    """{file name: bytes} of both architectures' packages for a release's files."""
    version = top[len("portcheck-"):]
    return {msi_name(version, architecture): msi_bytes(
        version, architecture, files["%s/portcheck.exe" % architecture], files["README.txt"], epoch)
        for architecture in ARCHITECTURES}


def main(arguments):
    """Arguments: the release zip, and the folder to write both packages into."""
    from release_zip import end_cleanly_on_signals, finish_output, open_output, read_zip
    end_cleanly_on_signals()
    zip_path, folder = arguments
    top, files, _, epoch = read_zip(zip_path)
    for name, data in sorted(packages(top, files, epoch).items()):
        path = os.path.join(folder, name)
        finish_output(open_output(path), data, path)
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
