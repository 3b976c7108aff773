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

from verify.authenticode import judge
from release.safe_output import end_cleanly_on_signals
from release.authenticode_tool import signature
from verify.signed_file import table_problem
from release.tools import write_file
from verify.trust import BadAnchors, read_anchors
from release.zip_reading import NotARelease, read_bounded, shown
from verify.verify_msi import OLE_MAGIC, streams

# An installer, a boot image or a runtime (Node.js's is about 80 MiB) is read
# whole; far more is no executable a signing service returns.
LIMIT_SIGNED = 128 << 20
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


def signature_of(path: str, work: str):
    """(the file's bytes, its DER signature, whether it is a package)."""
    data = read_bounded(path, "it", "a signed executable or package is at most a few tens of "
                        "MiB", LIMIT_SIGNED)
    if data[:2] == b"MZ":
        wrong = table_problem(data)
        if wrong:
            return data, wrong, False
        der = signature(data)
        if der is None:
            raise NotARelease("a PE image that is not signed")
        return data, der, False
    if data[:8] != OLE_MAGIC:
        raise NotARelease("neither a PE image nor a Windows Installer package")
    # The bytes read are the bytes judged: the reader gets this copy, not the path.
    copy = write_file(os.path.join(work, "package.msi"), data)
    der = streams(copy, work, LIMIT_SIGNED).get("\x05DigitalSignature")
    if der is None:
        raise NotARelease("a Windows Installer package that is not signed")
    return data, der, True


def checked(path: str, anchors, work: str) -> int:
    label = shown(path)
    try:
        data, der, package = signature_of(path, work)
    except NotARelease as error:
        said = str(error)
        print("%s: NOT SIGNED: %s" % (label, "it" + said[len(label):] if said.startswith(
            label + " ") else said))
        return NOT_SIGNED
    judged = judge(data, der, package, anchors, work) if isinstance(der, bytes) else None
    wrong = der if judged is None else judged.wrong
    if wrong:
        print("%s: REFUSED: %s" % (label, wrong))
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
