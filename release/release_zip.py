"""The release zip's layout, shared by the scripts that write, sign and check
it: one top folder holding both executables, README.txt, the licence and the
third-party notices, BUILDINFO.txt and SHA256SUMS, the entries in sorted
order, each with the release's time and a fixed mode; and reading one that
may have been made to do harm."""
import calendar
import hashlib
import io
import os
import stat
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

EXECUTABLES = ("x64/portcheck.exe", "x86/portcheck.exe")
TEXTS = ("README.txt", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt", "BUILDINFO.txt")
NAMES = tuple(sorted(TEXTS + ("SHA256SUMS",))) + EXECUTABLES
MODES = {name: 0o755 if name.endswith(".exe") else 0o644 for name in NAMES}


class NotARelease(Exception):
    """The file is not a zip as scripts/release.sh makes it."""


def checksums(files):
    """SHA256SUMS for a release's {name: bytes}: the executables, then the texts."""
    return "".join("%s  %s\n" % (hashlib.sha256(files[name]).hexdigest(), name)
                   for name in EXECUTABLES + TEXTS).encode("ascii")


def zip_bytes(top, files, modes, epoch):
    """The zip of {name: bytes} under top/, with the given modes and time."""
    stamp = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name in sorted(files):
            entry = zipfile.ZipInfo("%s/%s" % (top, name), date_time=stamp)
            entry.create_system = 3  # the permissions below are Unix ones
            entry.external_attr = (0o100000 | modes[name]) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, files[name], compresslevel=9)
    return buffer.getvalue()


def end_cleanly_on_signals():
    """Turns SIGTERM, SIGHUP and SIGINT into SystemExit, so that the cleanup
    of a half-written output runs when the command is stopped."""
    def stop(number, _frame):
        sys.exit(128 + number)
    for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(number, stop)


def open_output(path):
    """A temporary file beside path, made at once, so that a folder that
    cannot be written shows before any work is done; its name."""
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=".partial-",
                                         suffix=os.path.splitext(path)[1])
    os.close(handle)
    return temporary


def finish_output(temporary, data, path, replace=True):
    """Writes data into the temporary file and puts it at path. With replace
    false an existing file at path is left alone (FileExistsError). The
    temporary file is gone afterwards, whatever happened."""
    try:
        with open(temporary, "wb") as f:
            f.write(data)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        if replace:
            os.replace(temporary, path)
        else:
            os.link(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def write_zip(path, top, files, modes, epoch):
    """Writes the zip through a temporary file beside path, so that a failure
    or a stop leaves no half-written zip."""
    finish_output(open_output(path), zip_bytes(top, files, modes, epoch), path)


# A release zip is about 60 KiB and its largest entry about 30 KiB; a file
# far beyond that is refused before anything in it is inflated.
LIMIT_ZIP = 4 << 20
LIMIT_ENTRY = 1 << 20
LIMIT_ENTRIES = 32


def shown(text):
    """Text from a file, fit for a terminal: printable ASCII as it is (but
    the backslash), anything else as an escape, so that no name in a zip or
    a certificate can move the cursor, change colours or fake a line."""
    if isinstance(text, bytes):
        text = text.decode("latin-1")
    return "".join(c if " " <= c <= "~" and c != "\\" else
                   "\\x%02x" % ord(c) if ord(c) < 0x100 else "\\u%04x" % ord(c)
                   for c in text)


def refuse_unless_regular(path):
    """NotARelease for anything but a regular file, before it is opened: a
    FIFO would block the reader for ever, a device feed it without end."""
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        raise NotARelease("%s cannot be read (%s)" % (shown(path), shown(error.strerror or "")))
    kinds = ((stat.S_ISFIFO, "a FIFO (named pipe)"), (stat.S_ISDIR, "a folder"),
             (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
             (stat.S_ISSOCK, "a socket"))
    for test, kind in kinds:
        if test(mode):
            raise NotARelease("%s is %s; only a regular file is read" % (shown(path), kind))
    if not stat.S_ISREG(mode):
        raise NotARelease("%s is not a regular file; only a regular file is read" % shown(path))


def read_entries(path):
    """(the zip's bytes, its comment, [(ZipInfo, content)]) of a zip that may have been
    made to do harm: bounded in size, count and method before anything is
    inflated, and every malformed file reported as NotARelease in one line."""
    label = shown(path)
    refuse_unless_regular(path)
    try:
        size = os.path.getsize(path)
        if size > LIMIT_ZIP:
            raise NotARelease("%s is %d bytes; a release zip is a few tens of KiB, and none over "
                              "%d bytes is read" % (label, size, LIMIT_ZIP))
        with open(path, "rb") as f:
            data = f.read(LIMIT_ZIP + 1)
    except OSError as error:
        raise NotARelease("%s cannot be read (%s)" % (label, shown(error.strerror or ""))) from None
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
        infos = archive.infolist()
        if not infos:
            raise NotARelease("%s is a zip with no entries; a release holds %d" % (label,
                                                                                len(NAMES)))
        if len(infos) > LIMIT_ENTRIES:
            raise NotARelease("%s holds %d entries; a release holds %d" % (label, len(infos),
                                                                        len(NAMES)))
        entries = []
        for info in infos:
            name = "%s: entry %s" % (label, shown(info.filename))
            if info.flag_bits & 0x1:
                raise NotARelease("%s is encrypted; a release's entries are not" % name)
            if info.compress_type != zipfile.ZIP_DEFLATED:
                raise NotARelease("%s uses compression method %d; a release uses only deflate (8)"
                                  % (name, info.compress_type))
            if max(info.file_size, info.compress_size) > LIMIT_ENTRY:
                raise NotARelease("%s claims %d bytes; a release's entries are a few tens of KiB, "
                                  "and none over %d bytes is read"
                                  % (name, max(info.file_size, info.compress_size), LIMIT_ENTRY))
            with archive.open(info) as f:
                entries.append((info, f.read(LIMIT_ENTRY + 1)))
    except NotARelease:
        raise
    except Exception as error:  # zipfile raises many kinds on malformed input
        raise NotARelease("%s is not a readable zip (%s)" % (
            label, shown(str(error) or type(error).__name__))) from None
    return data, archive.comment, entries


def read_zip(path, entries=None):
    """(top, {name: bytes}, {name: mode}, epoch) of a release zip, or of its
    entries as read_entries gave them; raises NotARelease when they are not
    exactly those of a release."""
    if entries is None:
        _, _, entries = read_entries(path)
    found = [info.filename for info, _ in entries]
    top = found[0].split("/")[0] if found else ""
    if not top.startswith("portcheck-") or found != ["%s/%s" % (top, name) for name in NAMES]:
        raise NotARelease("%s does not hold a release made by scripts/release.sh: entries %s, "
                          "want portcheck-<version>/ with %s"
                          % (shown(path), shown(", ".join(found)), ", ".join(NAMES)))
    times = {info.date_time for info, _ in entries}
    if len(times) != 1:
        raise NotARelease("%s: its entries' times differ, a release's are one" % shown(path))
    files = {info.filename[len(top) + 1:]: content for info, content in entries}
    modes = {info.filename[len(top) + 1:]: (info.external_attr >> 16) & 0o7777
             for info, _ in entries}
    return top, files, modes, calendar.timegm(times.pop() + (0, 0, 0))


def certificate_table(image):
    """Where a PE image keeps its checksum and its certificate table:
    (checksum's offset, the table's directory entry's offset, the table's
    offset, its size); raises NotARelease when it is no PE image."""
    try:
        header = struct.unpack_from("<I", image, 0x3C)[0]
        if image[:2] != b"MZ" or image[header:header + 4] != b"PE\0\0":
            raise NotARelease("not a Windows executable")
        optional = header + 24
        magic = struct.unpack_from("<H", image, optional)[0]
        directory = optional + {0x10B: 96, 0x20B: 112}[magic] + 4 * 8
        offset, size = struct.unpack_from("<II", image, directory)
    except (struct.error, KeyError):
        raise NotARelease("not a Windows executable") from None
    return optional + 64, directory, offset, size


def signature(image):
    """The Authenticode signature (PKCS#7, DER) in a PE image's certificate
    table, or None when it has none; raises NotARelease when it is no PE image."""
    _, _, offset, size = certificate_table(image)
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


def osslsigncode(command, options, image, work, any_status=False):
    """(the image that `osslsigncode COMMAND OPTIONS -in -out` makes of image,
    or None; what it printed). Works in the folder work. With any_status, an
    image written is taken whatever the status (attach-signature writes it,
    then fails on a chain it cannot trust)."""
    given, made = os.path.join(work, "in.exe"), os.path.join(work, "out.exe")
    with open(given, "wb") as f:
        f.write(image)
    if os.path.exists(made):
        os.unlink(made)
    run = subprocess.run(["osslsigncode", command] + options + ["-in", given, "-out", made],
                         capture_output=True, text=True)
    if (run.returncode != 0 and not any_status) or not os.path.exists(made):
        return None, run.stdout + run.stderr
    with open(made, "rb") as f:
        return f.read(), run.stdout + run.stderr
