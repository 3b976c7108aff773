#!/usr/bin/python3
"""The checker that scripts/verify-release.sh runs: a downloaded release zip
or Windows Installer package, signed or not, against a reference zip that
scripts/release.sh made. VERIFIED only when the download is, byte for byte,
what release.sh (and sign-release.sh, signatures apart) makes; the zip is
compared by verify_zip.py, a package by verify_msi.py. Who signed is judged
against the trust anchor the user names (--ca-file), and is otherwise a
claim. A download is hostile input: everything that reads it lives in this
folder, apart from the release's makers, which it uses to build the
reference."""
import argparse
import os
import sys
import tempfile

import verify_msi
import verify_zip
from build_info import checkout_commit
from package_facts import version_of
from safe_output import end_cleanly_on_signals
from trust import BadAnchors, read_anchors
from untrusted import NotARelease, read_entries, read_zip, refuse_unless_regular, shown


class BadReference(Exception):
    """The reference zip, not the download, is no release zip."""


class NoWorkFolder(Exception):
    """No temporary folder can be made; str() says why."""


def work_folder() -> tempfile.TemporaryDirectory:
    try:
        return tempfile.TemporaryDirectory()
    except OSError as error:
        raise NoWorkFolder("no temporary folder can be made (%s); set TMPDIR to a folder that "
                           "can be written" % shown(error.strerror or str(error))) from None


def arguments_of(arguments: list) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="verify_release.py", description="Checks a download against a reference zip.")
    parser.add_argument("--ca-file", help="the trust anchors (PEM or DER certificates, one or a "
                        "bundle) every signer must chain to")
    parser.add_argument("--regular", metavar="FILE",
                        help="only say whether FILE is a regular file, status 2 if not")
    parser.add_argument("--named", choices=("reference", "commit"),
                        help="what the user named: messages then name that file or commit")
    parser.add_argument("files", nargs="*", metavar="DOWNLOAD REFERENCE SOURCE",
                        help="the download, the reference zip, the source it was built from")
    given = parser.parse_args(arguments)
    if (given.regular is None) == (len(given.files) != 3):
        parser.error("give --regular FILE, or DOWNLOAD REFERENCE SOURCE")
    if given.ca_file == "":
        parser.error("--ca-file names no file (an unset variable?)")
    return given


def refused(path: str, error: Exception) -> int:
    """Prints the one line for a file that is no release file; status 2."""
    label = shown(path)
    said = str(error)
    print("verify-release: NOT A RELEASE FILE: %s" % (
        said if said.startswith(label) else "%s: %s" % (label, said)))
    return 2


def is_package(path: str) -> bool:
    """Whether the file is an OLE compound file, as a Windows Installer package is."""
    with open(path, "rb") as f:
        return f.read(8) == verify_msi.OLE_MAGIC


def compared(download: str, reference_path: str, source: str, named_reference: bool,
             anchors) -> tuple:
    """(lines to show, differences) of a download against the reference zip;
    NotARelease when the download is no release file."""
    try:
        _, _, reference_entries = read_entries(reference_path)
        reference_top, reference_files, _, epoch = read_zip(reference_path, reference_entries)
    except NotARelease as error:
        raise BadReference(error) from None
    refuse_unless_regular(download)
    with work_folder() as work:
        if is_package(download):
            return verify_msi.differences(
                download, (version_of(reference_top), epoch, reference_files), source, anchors,
                work)
        return verify_zip.differences(read_entries(download), (epoch, reference_entries),
                                      source, named_reference, anchors, work)


def verdict(lines: list, found: list, source: str, anchors) -> int:
    """Prints what was found and the verdict; the status."""
    for line in lines:
        print(line)
    for line in found:
        print("DIFFERS: %s" % line)
    if found:
        print("NOT VERIFIED: %d difference%s from what %s makes; see docs/verifying.md"
              % (len(found), "" if len(found) == 1 else "s", source))
        return 1
    print("VERIFIED: every byte is what %s makes (release.sh, and sign-release.sh for the "
          "signatures: one signer each, and no unsigned attribute but a timestamp over that "
          "very signature); %s" % (source, "each signer chains to %s for code signing"
                                   % anchors.name if anchors else
                                   "who signed is a claim, see above"))
    return 0


def main(arguments: list) -> int:
    end_cleanly_on_signals()
    given = arguments_of(arguments)
    anchors = None
    if given.ca_file is not None:
        try:
            anchors = read_anchors(given.ca_file)
        except BadAnchors as error:
            print("verify-release: %s" % error, file=sys.stderr)
            return 2
    if given.regular is not None:
        try:
            refuse_unless_regular(given.regular)
        except NotARelease as error:
            return refused(given.regular, error)
        return 0
    download, reference_path, checkout = given.files
    commit = checkout_commit(checkout)
    source = {"reference": "the reference zip %s" % shown(os.path.basename(reference_path)),
              "commit": "commit %s" % commit[:12]}.get(given.named, "this checkout")
    try:
        lines, found = compared(download, reference_path, source, given.named == "reference",
                                anchors)
    except BadReference as error:
        print("verify-release: the reference is not a release zip: %s" % error, file=sys.stderr)
        return 2
    except NotARelease as error:
        return refused(download, error)
    except NoWorkFolder as error:
        print("verify-release: %s" % error, file=sys.stderr)
        return 2
    print("Checking %s against %s" % (
        shown(os.path.basename(download)), source if given.named == "reference" else
        "%s (commit %s, built from a clean export)" % (source, commit)))
    return verdict(lines, found, source, anchors)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
