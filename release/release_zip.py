"""The release zip's layout, shared by the scripts that write, sign and check
it: one top folder holding both executables, README.txt and SHA256SUMS, the
entries in sorted order, each with the release's time and a fixed mode."""
import calendar
import hashlib
import os
import struct
import subprocess
import tempfile
import time
import zipfile

EXECUTABLES = ("x64/portcheck.exe", "x86/portcheck.exe")
NAMES = ("README.txt", "SHA256SUMS") + EXECUTABLES


class NotARelease(Exception):
    """The file is not a zip as scripts/release.sh makes it."""


def checksums(files):
    """SHA256SUMS for a release's {name: bytes}: the executables, then README.txt."""
    return "".join("%s  %s\n" % (hashlib.sha256(files[name]).hexdigest(), name)
                   for name in EXECUTABLES + ("README.txt",)).encode("ascii")


def write_zip(path, top, files, modes, epoch):
    """Writes {name: bytes} under top/ with the given modes and time, through a
    temporary file beside path, so that a failure leaves no half-written zip."""
    stamp = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=".partial-", suffix=".zip")
    try:
        with os.fdopen(handle, "wb") as f, zipfile.ZipFile(f, "w") as archive:
            for name in sorted(files):
                entry = zipfile.ZipInfo("%s/%s" % (top, name), date_time=stamp)
                entry.create_system = 3  # the permissions below are Unix ones
                entry.external_attr = (0o100000 | modes[name]) << 16
                entry.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(entry, files[name], compresslevel=9)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def read_zip(path):
    """(top, {name: bytes}, {name: mode}, epoch) of a release zip; raises
    NotARelease when its entries are not exactly those of a release."""
    try:
        archive = zipfile.ZipFile(path)
    except (OSError, zipfile.BadZipFile) as error:
        raise NotARelease("%s is not a zip file (%s)" % (path, error)) from None
    with archive:
        entries = archive.infolist()
        top = entries[0].filename.split("/")[0] if entries else ""
        found = [e.filename for e in entries]
        want = ["%s/%s" % (top, name) for name in NAMES]
        if not top.startswith("portcheck-") or found != want:
            raise NotARelease("%s does not hold a release made by scripts/release.sh: entries %s, "
                              "want portcheck-<version>/ with %s" % (path, found, ", ".join(NAMES)))
        times = {e.date_time for e in entries}
        if len(times) != 1:
            raise NotARelease("%s: its entries' times differ, a release's are one" % path)
        files = {e.filename[len(top) + 1:]: archive.read(e) for e in entries}
        modes = {e.filename[len(top) + 1:]: (e.external_attr >> 16) & 0o7777 for e in entries}
    epoch = calendar.timegm(times.pop() + (0, 0, 0))
    return top, files, modes, epoch


def signature(image):
    """The Authenticode signature (PKCS#7, DER) in a PE image's certificate
    table, or None when it has none; raises NotARelease when it is no PE image."""
    try:
        header = struct.unpack_from("<I", image, 0x3C)[0]
        if image[:2] != b"MZ" or image[header:header + 4] != b"PE\0\0":
            raise NotARelease("not a Windows executable")
        optional = header + 24
        magic = struct.unpack_from("<H", image, optional)[0]
        directories = optional + {0x10B: 96, 0x20B: 112}[magic]
        offset, size = struct.unpack_from("<II", image, directories + 4 * 8)
    except (struct.error, KeyError):
        raise NotARelease("not a Windows executable") from None
    if size == 0:
        return None
    # A WIN_CERTIFICATE: its length, revision and type, then the DER, padded.
    der = image[offset + 8:offset + size]
    if len(der) < 4 or der[0] != 0x30 or not 0x81 <= der[1] <= 0x84:
        return der
    length_bytes = der[1] - 0x80
    return der[:2 + length_bytes + int.from_bytes(der[2:2 + length_bytes], "big")]


def is_signed(image):
    """Whether a PE image carries an Authenticode signature."""
    return signature(image) is not None


def osslsigncode(command, options, image, work):
    """(the image that `osslsigncode COMMAND OPTIONS -in -out` makes of image,
    or None; what it printed). Works in the folder work."""
    given, made = os.path.join(work, "in.exe"), os.path.join(work, "out.exe")
    with open(given, "wb") as f:
        f.write(image)
    if os.path.exists(made):
        os.unlink(made)
    run = subprocess.run(["osslsigncode", command] + options + ["-in", given, "-out", made],
                         capture_output=True, text=True)
    if run.returncode != 0 or not os.path.exists(made):
        return None, run.stdout + run.stderr
    with open(made, "rb") as f:
        return f.read(), run.stdout + run.stderr
