#!/usr/bin/python3
"""The checker that scripts/verify-release.sh runs: a downloaded release zip
or Windows Installer package, signed or not, against a reference zip that
scripts/release.sh made. VERIFIED only when the download is, byte for byte,
what release.sh (and sign-release.sh, signatures apart) makes; the zip is
compared by verify_zip.py, a package by verify_msi.py. Who signed is judged
against the trust anchor the user names (--ca-file), and is otherwise a
claim."""
import argparse
import os
import sys
import tempfile

import verify_msi
import verify_zip
from authenticode import TRUST
from build_info import checkout_commit
from package_facts import version_of
from safe_output import end_cleanly_on_signals
from tools import run_tool
from untrusted import NotARelease, read_entries, read_zip, refuse_unless_regular, shown


class BadReference(Exception):
    """The reference zip, not the download, is no release zip."""


def arguments_of(arguments: list) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="verify_release.py", description="Checks a download against a reference zip.")
    parser.add_argument("--ca-file", help="PEM certificates every signer must chain to")
    parser.add_argument("--regular", metavar="FILE",
                        help="only say whether FILE is a regular file, status 2 if not")
    parser.add_argument("--named", choices=("reference", "commit"),
                        help="what the user named: messages then name that file or commit")
    parser.add_argument("files", nargs="*", metavar="DOWNLOAD REFERENCE SOURCE",
                        help="the download, the reference zip, the source it was built from")
    given = parser.parse_args(arguments)
    if (given.regular is None) == (len(given.files) != 3):
        parser.error("give --regular FILE, or DOWNLOAD REFERENCE SOURCE")
    return given


def refused(path: str, error: Exception) -> int:
    """Prints the one line for a file that is no release file; status 2."""
    label = shown(path)
    said = str(error)
    print("verify-release: NOT A RELEASE FILE: %s" % (
        said if said.startswith(label) else "%s: %s" % (label, said)))
    return 2


def anchor_problem(path: str) -> str:
    """Why a --ca-file cannot serve as a trust anchor, or None."""
    try:
        refuse_unless_regular(path)
    except NotARelease as error:
        return "the CA file: %s" % error
    if run_tool(["openssl", "x509", "-in", path, "-noout"]).returncode != 0:
        return "the CA file %s holds no PEM certificate" % shown(path)
    return None


def is_package(path: str) -> bool:
    """Whether the file is an OLE compound file, as a Windows Installer package is."""
    with open(path, "rb") as f:
        return f.read(8) == verify_msi.OLE_MAGIC


def compared(download: str, reference_path: str, source: str,
             named_reference: bool) -> tuple:
    """(lines to show, differences) of a download against the reference zip;
    NotARelease when the download is no release file."""
    try:
        _, _, reference_entries = read_entries(reference_path)
        reference_top, reference_files, _, epoch = read_zip(reference_path, reference_entries)
    except NotARelease as error:
        raise BadReference(error) from None
    refuse_unless_regular(download)
    with tempfile.TemporaryDirectory() as work:
        if is_package(download):
            return verify_msi.differences(
                download, (version_of(reference_top), epoch, reference_files), source, work)
        return verify_zip.differences(read_entries(download), (epoch, reference_entries),
                                      source, named_reference, work)


def verdict(lines: list, found: list, source: str) -> int:
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
                                   % shown(os.path.basename(TRUST["ca_file"])) if TRUST["ca_file"]
                                   else "who signed is a claim, see above"))
    return 0


def main(arguments: list) -> int:
    end_cleanly_on_signals()
    given = arguments_of(arguments)
    if given.ca_file is not None:
        problem = anchor_problem(given.ca_file)
        if problem:
            print("verify-release: %s" % problem, file=sys.stderr)
            return 2
        TRUST["ca_file"] = given.ca_file
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
        lines, found = compared(download, reference_path, source, given.named == "reference")
    except BadReference as error:
        print("verify-release: the reference is not a release zip: %s" % error, file=sys.stderr)
        return 2
    except NotARelease as error:
        return refused(download, error)
    print("Checking %s against %s" % (
        shown(os.path.basename(download)), source if given.named == "reference" else
        "%s (commit %s, built from a clean export)" % (source, commit)))
    return verdict(lines, found, source)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
