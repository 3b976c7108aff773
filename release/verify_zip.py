#!/usr/bin/python3
"""Checks a downloaded release zip or Windows Installer package, signed or
not (a package: verify_msi.py), against a reference zip
that scripts/release.sh made: VERIFIED only when the download is, byte for
byte, what release.sh (and sign-release.sh, signatures apart) makes. The
download is hostile input: it is read within fixed bounds, and nothing taken
from it reaches the screen unescaped. Whether a signer is trusted is
Windows' decision, not this one's.
Arguments: the zip, the reference zip, the folder of the source it was built
from, and "given" when the user named the reference (messages then name that
file) or "commit" when the user named the commit (messages name it)."""
import os
import re
import stat
import subprocess
import sys
import tempfile

import verify_msi
from authenticode import TRUST
from build_info import checkout_commit, parse
from package_facts import version_of
from safe_output import end_cleanly_on_signals
from untrusted import NotARelease, read_entries, read_zip, refuse_unless_regular, shown
from zip_layout import EXECUTABLES, MODES, NAMES, checksums, zip_bytes
from verify_executable import executable_check

TOP_FOLDER = re.compile(r"portcheck-[0-9A-Za-z.+-]+")
COMMIT = re.compile(r"[0-9a-f]{40}( with uncommitted changes)?")
FILE_TYPES = {stat.S_IFLNK: "a symbolic link", stat.S_IFDIR: "a folder"}


# The low byte of an entry's external attributes, as DOS and Windows read it.
DOS_ATTRIBUTES = ((0x01, "read-only"), (0x02, "hidden"), (0x04, "system"), (0x08, "volume label"),
                  (0x10, "directory"), (0x20, "archive"), (0x40, "device"), (0x80, "normal"),
                  (0x100, "temporary"), (0x200, "sparse"), (0x400, "reparse point"),
                  (0x800, "compressed"))


def dos_attributes(external_attr):
    named = [word for bit, word in DOS_ATTRIBUTES if external_attr & bit]
    unnamed = external_attr & 0xFFFF & ~sum(bit for bit, _ in DOS_ATTRIBUTES)
    return ", ".join(named + (["%#x" % unnamed] if unnamed else [])) or "none"


def entry_differences(name, info, reference):
    """How one entry's headers differ from the reference's."""
    found = []
    kind = (info.external_attr >> 16) & 0o170000
    if info.create_system != reference.create_system or kind != stat.S_IFREG:
        found.append("%s is %s, not a regular file with Unix permissions" % (
            name, FILE_TYPES.get(kind, "of an unknown kind") if info.create_system == 3
            else "stored without Unix permissions"))
    elif (info.external_attr ^ reference.external_attr) >> 16:
        found.append("%s has mode %04o; a release's is %04o" % (
            name, (info.external_attr >> 16) & 0o7777, (reference.external_attr >> 16) & 0o7777))
    elif info.external_attr != reference.external_attr:
        found.append("%s has the DOS attributes %s; a release's has %s" % (
            name, dos_attributes(info.external_attr), dos_attributes(reference.external_attr)))
    if info.date_time != reference.date_time:
        found.append("%s is dated %04d-%02d-%02d %02d:%02d:%02d; the release's time is "
                     "%04d-%02d-%02d %02d:%02d:%02d" % ((name,) + info.date_time
                                                        + reference.date_time))
    if (info.extra, info.comment, info.flag_bits) != (reference.extra, reference.comment,
                                                      reference.flag_bits):
        found.append("%s carries header fields (extra data, comment or flags) that a "
                     "release's does not" % name)
    return found


def build_info_differences(download, reference, source, given):
    """What BUILDINFO.txt says of how the two were built, where it differs."""
    mine, theirs = parse(reference), parse(download)
    commit = theirs.get("commit", "")
    found = []
    if commit != mine.get("commit"):
        text = "it was built from commit %s; %s %s %s" % (
            shown(commit) or "(none recorded)", source, "was built from" if given else "is at",
            mine.get("commit"))
        if COMMIT.fullmatch(commit) and not given:
            text += " (to check it against that commit's release, with this checkout's " \
                    "checks: scripts/verify-release.sh --commit %s FILE)" % commit[:40]
        found.append(text)
    if theirs.get("source-date-epoch") != mine.get("source-date-epoch"):
        found.append("its source date (SOURCE_DATE_EPOCH) is %s; %s's is %s" % (
            shown(theirs.get("source-date-epoch", "(none)")), source,
            mine.get("source-date-epoch")))
    packages, ours = theirs["built-with"], mine["built-with"]
    for package in sorted(set(packages) | set(ours)):
        if packages.get(package) != ours.get(package):
            found.append("it was built with %s %s; %s %s" % (
                shown(package), shown(packages.get(package, "(not recorded)")),
                "the reference zip was built with" if given else "this machine has",
                ours.get(package, "(none)")))
    if not found and download != reference:
        found.append("BUILDINFO.txt differs from %s's" % source)
    return found


def differences(download, reference, source, given, work):
    """(lines to show, differences): every way the download is not what the
    reference's maker makes."""
    data, comment, entries = download
    epoch, reference_entries = reference
    reference_top = reference_entries[0][0].filename.split("/")[0]
    names = [info.filename for info, _ in entries]
    top = names[0].split("/")[0] if names else ""
    outside = [n for n in names if not TOP_FOLDER.fullmatch(top) or not n.startswith(top + "/")]
    if outside:
        raise NotARelease("its entries must all lie in one top folder named portcheck-<version> "
                          "(digits, letters, '.', '+', '-'), and %s does not" % shown(outside[0]))
    found = []
    if top != reference_top:
        found.append("its top folder is %s; %s's release is %s" % (top, source, reference_top))
    files = {info.filename[len(top) + 1:]: (info, content) for info, content in entries}
    wanted = {info.filename[len(reference_top) + 1:]: (info, content)
              for info, content in reference_entries}
    found += ["it lacks %s" % name for name in NAMES if name not in files]
    found += ["it holds %s, which a release does not" % shown(name)
              for name in files if name not in wanted]
    if [n for n in files if n in wanted] != [n for n in wanted if n in files]:
        found.append("its entries are in another order than a release's")
    if comment:
        found.append("the zip carries a comment; a release's has none")
    for name in (n for n in NAMES if n in files):
        found += entry_differences(name, files[name][0], wanted[name][0])
    contents = {name: content for name, (_, content) in files.items()}
    shown_lines = []
    for name in (n for n in EXECUTABLES if n in files):
        lines, problems = executable_check(name, contents[name], wanted[name][1], source, work)
        shown_lines += lines
        found += problems
    for name in ("README.txt", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt"):
        if name in files and contents[name] != wanted[name][1]:
            found.append("%s differs from %s's" % (name, source))
    if "BUILDINFO.txt" in files:
        found += build_info_differences(contents["BUILDINFO.txt"], wanted["BUILDINFO.txt"][1],
                                        source, given)
    if set(NAMES) <= set(files) and contents["SHA256SUMS"] != checksums(contents):
        found.append("SHA256SUMS does not match the files it lists")
    if not found:
        # Everything but the executables (proven above) and the sums of
        # them is the reference's own.
        expected = {n: wanted[n][1] for n in NAMES}
        expected.update({n: contents[n] for n in EXECUTABLES})
        expected["SHA256SUMS"] = checksums(expected)
        expected = zip_bytes(reference_top, expected, MODES, epoch)
        if expected != data:
            at = next((i for i, (a, b) in enumerate(zip(expected, data)) if a != b),
                      min(len(expected), len(data)))
            found.append("its bytes differ from what release.sh writes for these same files, "
                         "from byte %d on (data before, between or after the entries, or in "
                         "their headers)" % at)
    return shown_lines, found


def is_package(path):
    """Whether the file is an OLE compound file, as a Windows Installer package is."""
    try:
        with open(path, "rb") as f:
            return f.read(8) == verify_msi.OLE_MAGIC
    except OSError:
        return False


def anchor_problem(path):
    """Why a --ca-file cannot serve as a trust anchor, or None."""
    try:
        refuse_unless_regular(path)
    except NotARelease as error:
        return "the CA file: %s" % error
    if subprocess.run(["openssl", "x509", "-in", path, "-noout"], capture_output=True,
                      stdin=subprocess.DEVNULL).returncode != 0:
        return "the CA file %s holds no PEM certificate" % shown(path)
    return None


def refused(path, error):
    """Prints the one line for a file that is no release file; status 2."""
    label = shown(path)
    said = str(error)
    print("verify-release: NOT A RELEASE FILE: %s" % (
        said if said.startswith(label) else "%s: %s" % (label, said)))
    return 2


def main(arguments):
    end_cleanly_on_signals()
    if arguments[:1] == ["--ca-file"] and len(arguments) > 2:
        TRUST["ca_file"] = arguments[1]
        arguments = arguments[2:]
        problem = anchor_problem(TRUST["ca_file"])
        if problem:
            print("verify-release: %s" % problem, file=sys.stderr)
            return 2
    if len(arguments) == 2 and arguments[0] == "--regular":
        try:
            refuse_unless_regular(arguments[1])
        except NotARelease as error:
            return refused(arguments[1], error)
        return 0
    if len(arguments) not in (3, 4):
        print("usage: verify_zip.py [--ca-file FILE] ZIP REFERENCE-ZIP SOURCE [given|commit]",
              file=sys.stderr)
        return 2
    zip_path, reference_path, checkout = arguments[:3]
    given = arguments[3:] == ["given"]
    commit = checkout_commit(checkout)
    source = "the reference zip %s" % shown(os.path.basename(reference_path)) if given else \
        "commit %s" % commit[:12] if arguments[3:] == ["commit"] else "this checkout"
    try:
        _, _, reference_entries = read_entries(reference_path)
        reference_top, reference_files, _, epoch = read_zip(reference_path, reference_entries)
    except NotARelease as error:
        print("verify-release: the reference is not a release zip: %s" % error, file=sys.stderr)
        return 2
    try:
        refuse_unless_regular(zip_path)
        with tempfile.TemporaryDirectory() as work:
            if is_package(zip_path):
                reference = (version_of(reference_top), epoch, reference_files)
                lines, found = verify_msi.differences(zip_path, reference, source, work)
            else:
                lines, found = differences(read_entries(zip_path), (epoch, reference_entries),
                                           source, given, work)
    except NotARelease as error:
        return refused(zip_path, error)
    print("Checking %s against %s" % (shown(os.path.basename(zip_path)), source if given else
                                      "%s (commit %s, built from a clean export)"
                                      % (source, commit)))
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


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
