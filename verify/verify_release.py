#!/usr/bin/python3
"""The checker that scripts/verify-release.sh runs: VERIFIED only when a
download is, byte for byte, what release.sh (and sign-release.sh, signatures
apart) makes of the reference."""
import argparse
import os
import subprocess
import sys
import tempfile

if __package__ in (None, ""):  # started as a file: the packages lie at the checkout's top
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from verify import verify_msi
from verify import verify_zip
from verify.authenticode import Findings
from release.build_info import checkout_commit
from release.rebuild_clean import recorded
from verify.reference_build import COMMIT_NAME, TOP, NoReference, reference_zip
from release.safe_output import end_cleanly_on_signals
from release.tools import write_file
from verify.trust import BadAnchors, read_anchors
from release.hostile_input import NotARelease, read_bounded, refuse_unless_regular, shown
from release.zip_reading import LIMIT_ZIP, read_entries, read_zip


class BadReference(Exception):
    pass


def arguments_of(arguments: list) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="scripts/verify-release.sh", description="Checks a downloaded release file "
        "against what this checkout, a commit of it or a reference zip makes.")
    parser.add_argument("--commit", help="build that commit's release to compare with")
    parser.add_argument("--ca-file", help="the trust anchors (PEM or DER certificates, one or a "
                        "bundle) every signer must chain to")
    parser.add_argument("--in-root", action="store_true", help="check it inside a minimal "
                        "root of the Debian release it was built on, with the versions it "
                        "recorded (as root; for a package, its release's .buildinfo beside it)")
    parser.add_argument("download", help="the zip or package to check")
    parser.add_argument("reference", nargs="?", help="a reference zip to compare with instead")
    given = parser.parse_args(arguments)
    # An empty value (an unset variable) would silently check less.
    for option, value in (("--ca-file", given.ca_file), ("--commit", given.commit)):
        if value == "":
            parser.error("%s names nothing (an unset variable?)" % option)
    if given.commit is not None and not COMMIT_NAME.fullmatch(given.commit):
        parser.error("--commit takes a commit's name or hash")
    for option, value in (("--commit", given.commit), ("--in-root", given.in_root)):
        if value and given.reference is not None:
            parser.error("%s and a reference zip exclude each other" % option)
    return given


def refused(path: str, error: Exception) -> int:
    label = shown(path)
    said = str(error)
    print("verify-release: NOT A RELEASE FILE: %s" % (
        said if said.startswith(label) else "%s: %s" % (label, said)))
    return 2


def is_package(path: str) -> bool:
    with open(path, "rb") as f:
        return f.read(8) == verify_msi.OLE_MAGIC


def compared(download: str, reference_path: str, source: str, named_reference: bool,
             anchors, work: str) -> Findings:
    try:
        reference = read_entries(reference_path)
        release = read_zip(reference_path, reference.entries)
    except NotARelease as error:
        raise BadReference(error) from None
    refuse_unless_regular(download)
    if is_package(download):
        return verify_msi.differences(download, release, source, anchors, work)
    return verify_zip.differences(read_entries(download), reference, release, source,
                                  named_reference, anchors, work)


def verdict(findings: Findings, source: str, anchors) -> int:
    found = findings.differences
    for line in findings.lines:
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


def complain(message) -> int:
    print("verify-release: %s" % message, file=sys.stderr)
    return 2


def main(arguments: list) -> int:
    end_cleanly_on_signals()
    given = arguments_of(arguments)
    anchors = None
    try:
        anchors = given.ca_file and read_anchors(given.ca_file)
        if anchors and anchors.skipped:
            print("The CA file %s: %d PEM block%s that hold%s no certificate skipped (%s)" % (
                anchors.name, len(anchors.skipped), "" if len(anchors.skipped) == 1 else "s",
                "s" if len(anchors.skipped) == 1 else "", ", ".join(anchors.skipped)))
    except BadAnchors as error:
        return complain(error)
    # Anything but a regular file is refused before a minute is spent building:
    # a FIFO would block the reader for ever.
    for path in filter(None, (given.download, given.reference)):
        try:
            refuse_unless_regular(path)
        except NotARelease as error:
            return refused(path, error)
    try:  # In TMPDIR as given: Python would otherwise fall back to another folder.
        work_folder = tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR") or None)
    except OSError as error:
        return complain("no temporary folder can be made (%s); set TMPDIR to a folder that "
                        "can be written" % shown(error.strerror or str(error)))
    try:
        with work_folder as work:
            if given.in_root:
                return in_root(given, anchors, work)
            if given.reference:
                source = "the reference zip %s" % shown(os.path.basename(given.reference))
                return checked(given.download, given.reference, source, source, True, anchors,
                               work)
            reference = reference_zip(given.commit, work)
            commit = checkout_commit(reference.source)
            source = "commit %s" % commit[:12] if given.commit else "this checkout"
            return checked(given.download, reference.zip_path, source, "%s (commit %s, built from "
                           "a clean export)" % (source, commit), False, anchors, work)
    except NoReference as error:
        return complain(error)


def in_root(given: argparse.Namespace, anchors, work: str) -> int:
    """The same check, inside the clean root that scripts/in-clean-root.sh
    makes of the download's own record, so that a release made on another
    Debian release is judged by its bytes, not by this machine's toolchain."""
    if os.geteuid() != 0:
        return complain("--in-root makes a Debian root, which needs root: run it with sudo")
    io = os.path.join(work, "io")
    os.mkdir(io)
    try:
        record = write_file(os.path.join(work, "record"), recorded(given.download).encode())
        name = os.path.basename(given.download)
        write_file(os.path.join(io, name), read_bounded(
            given.download, shown(name), "a download is a few tens of KiB", LIMIT_ZIP))
    except NotARelease as error:
        return refused(given.download, error)
    command = ["sh", "scripts/verify-release.sh", *(["--commit", given.commit] * bool(given.commit))]
    if anchors:  # as read here, under the file's own name: DER, one after another
        os.mkdir(os.path.join(io, "ca"))
        write_file(os.path.join(io, "ca", os.path.basename(given.ca_file)),
                   b"".join(c.dump() for c in anchors.certificates))
        command += ["--ca-file", "/io/ca/" + os.path.basename(given.ca_file)]
    done = subprocess.run(["sh", os.path.join(TOP, "scripts", "in-clean-root.sh"), record, io]
                          + command + ["/io/" + name], stdin=subprocess.DEVNULL)
    if os.path.exists(os.path.join(io, "unavailable")):
        with open(os.path.join(io, "unavailable")) as f:
            for line in f:
                print("(the root could not install %s, which the release recorded: Debian's "
                      "archive keeps only the current point release)" % shown(line.strip()))
    return done.returncode


def checked(download: str, reference_path: str, source: str, heading: str, named: bool,
            anchors, work: str) -> int:
    """source names the reference in the verdict, heading above it."""
    try:
        findings = compared(download, reference_path, source, named, anchors, work)
    except BadReference as error:
        return complain("the reference is not a release zip: %s" % error)
    except NotARelease as error:
        return refused(download, error)
    print("Checking %s against %s" % (shown(os.path.basename(download)), heading))
    return verdict(findings, source, anchors)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
