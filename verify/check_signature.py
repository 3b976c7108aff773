#!/usr/bin/python3
"""The command scripts/check-signature.sh runs: the download checker's
judgement of one signature, for any signed PE image or Windows Installer
package, with nothing rebuilt (a maintainer's first look at what a signing
service returns)."""
import argparse
import os
import sys
import tempfile

if __package__ in (None, ""):  # started as a file: the packages lie at the checkout's top
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from verify.authenticode import Judgement, judge
from release.safe_output import end_cleanly_on_signals
from release.authenticode_tool import certificate_table, entry_signature
from verify.signed_file import ImageFile, PackageFile, entries_problem
from verify.trust import BadAnchors, read_anchors
from release.hostile_input import NotARelease, changed, refuse_unless_regular, shown
from verify.msi_streams import OLE_MAGIC, READ_CHUNK, not_readable, reader

# No file is read whole (installers and runtimes of hundreds of MiB are
# signed): a package is copied, and its streams read, a chunk at a time, and
# an image's digest is taken so. Far more than a few tens of MiB is no
# package a signing service returns.
LIMIT_PACKAGE = 128 << 20
# An image's certificate table lies at a 32-bit offset, so no signed image is
# larger than this.
LIMIT_IMAGE = 1 << 32
# The headers lie a few hundred bytes in; the table holds one signature of a
# few KiB (the rules accept none over 32 KiB), and so does a package's
# signature stream.
LIMIT_HEADERS = 64 << 10
LIMIT_TABLE = 1 << 20
LIMIT_SIGNATURE_STREAM = 1 << 20
ACCEPTABLE, REFUSED, NOT_SIGNED = 0, 1, 2


def arguments_of(arguments: list) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="scripts/check-signature.sh", description="Judges the Authenticode signature of "
        "signed PE images (executables, DLLs, EFI images) and Windows Installer packages by "
        "the download checker's rules.")
    parser.add_argument("--ca-file", help="the trust anchors (PEM or DER certificates, one or a "
                        "bundle) every signer must chain to")
    parser.add_argument("files", nargs="+", metavar="FILE", help="a signed file to judge")
    given = parser.parse_args(arguments)
    if given.ca_file == "":
        parser.error("--ca-file names nothing (an unset variable?)")
    return given


def image_of(opened, size: int) -> tuple:
    """(the image, its DER signature or what is wrong with its certificate table)."""
    if size > LIMIT_IMAGE:
        raise NotARelease("it is %d bytes; a signed PE image lies within the 4 GiB its "
                          "certificate table's offset reaches" % size)
    table = certificate_table(opened.read(LIMIT_HEADERS))
    if table.size > LIMIT_TABLE:
        return None, "its certificate table is %d bytes; a signature's is a few KiB, and " \
            "none over %d bytes is read" % (table.size, LIMIT_TABLE)
    entries = b""
    if table.size and table.offset + table.size <= size:
        opened.seek(table.offset)
        entries = opened.read(table.size)
        if len(entries) != table.size:
            return None, "it was cut short while it was read"
    wrong = entries_problem(table, size, entries)
    if wrong:
        return None, wrong
    if not table.size:
        raise NotARelease("a PE image that is not signed")
    return ImageFile(opened, size, table, entries), entry_signature(entries)


def package_copy(opened, size: int, work: str) -> PackageFile:
    """The package copied into the work folder, a chunk at a time; the copy,
    not the path, is what is judged."""
    if size > LIMIT_PACKAGE:
        raise NotARelease("it is %d bytes; a signed package is at most a few tens of MiB, "
                          "and none over %d bytes is read" % (size, LIMIT_PACKAGE))
    path = os.path.join(work, "package.msi")
    with open(path, "wb") as copy:
        left = size
        while left:
            chunk = opened.read(min(left, READ_CHUNK))
            if not chunk:
                break
            copy.write(chunk)
            left -= len(chunk)
    return PackageFile(path)


def package_signature(package: PackageFile, work: str):
    """Its DER signature, or what is wrong with its signature's stream."""
    path = os.path.join(work, "signature.der")
    said = reader(["--signature", package.path, path, str(LIMIT_SIGNATURE_STREAM)])
    if isinstance(said, str):
        raise not_readable(said)
    if said.get("signature", "none") == "none":
        raise NotARelease("a Windows Installer package that is not signed")
    size = int(said["signature"])
    if size > LIMIT_SIGNATURE_STREAM:
        return "its signature's stream (DigitalSignature) is %d bytes; a signature's is a " \
            "few KiB, and none over %d bytes is read" % (size, LIMIT_SIGNATURE_STREAM)
    with open(path, "rb") as f:
        return f.read(LIMIT_SIGNATURE_STREAM)


def judged_file(path: str, anchors, work: str) -> Judgement:
    refuse_unless_regular(path)  # opening a FIFO would wait for a writer
    try:
        with open(path, "rb") as opened:
            size = os.fstat(opened.fileno()).st_size
            magic = opened.read(len(OLE_MAGIC))
            opened.seek(0)
            if magic[:2] == b"MZ":
                data, der = image_of(opened, size)
                judged = judge(data, der, False, anchors, work) if isinstance(der, bytes) \
                    else Judgement(der, [])
            elif magic == OLE_MAGIC:
                data = package_copy(opened, size, work)
            else:
                raise NotARelease("neither a PE image nor a Windows Installer package")
            # What was read to its size must be the whole file, not a file that grew meanwhile.
            wrong = changed(opened, size, "it")
    except OSError as error:
        raise NotARelease("it cannot be read (%s)" % shown(error.strerror or "")) from None
    if wrong:
        return Judgement(wrong, [])
    if isinstance(data, PackageFile):
        der = package_signature(data, work)
        judged = judge(data, der, True, anchors, work) if isinstance(der, bytes) else \
            Judgement(der, [])
    return judged


def checked(path: str, anchors, work: str) -> int:
    label = shown(path)
    try:
        judged = judged_file(path, anchors, work)
    except NotARelease as error:
        said = str(error)
        print("%s: NOT SIGNED: %s" % (label, "it" + said[len(label):] if said.startswith(
            label + " ") else said))
        return NOT_SIGNED
    if judged.wrong:
        print("%s: REFUSED: %s" % (label, judged.wrong))
        return REFUSED
    print("%s: ACCEPTABLE" % label)
    for line in judged.lines:
        print(line)
    return ACCEPTABLE


def main(arguments: list) -> int:
    end_cleanly_on_signals()
    given = arguments_of(arguments)
    try:
        anchors = given.ca_file and read_anchors(given.ca_file)
    except BadAnchors as error:
        print("check-signature: %s" % error, file=sys.stderr)
        return 2
    if anchors and anchors.skipped:
        print("The CA file %s: %d PEM block(s) that hold no certificate skipped (%s)" % (
            anchors.name, len(anchors.skipped), ", ".join(anchors.skipped)))
    worst = ACCEPTABLE
    for path in given.files:
        with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR") or None) as work:
            worst = max(worst, checked(path, anchors or None, work))
    return worst


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
