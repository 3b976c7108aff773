"""A downloaded zip against the reference: every entry, header and byte."""
import os
import re
import stat
import zipfile

from release.build_info import parse
from verify.authenticode import Findings, executable_check
from release.hostile_input import NotARelease, shown
from release.zip_reading import Entries, Release
from release.zip_layout import EXECUTABLES, MODES, NAMES, checksums, zip_bytes

TOP_FOLDER = re.compile(r"portcheck-[0-9A-Za-z.+-]+")
COMMIT = re.compile(r"[0-9a-f]{40}( with uncommitted changes)?")
FILE_TYPES = {stat.S_IFLNK: "a symbolic link", stat.S_IFDIR: "a folder"}


# The low byte of an entry's external attributes, as DOS and Windows read it.
DOS_ATTRIBUTES = ((0x01, "read-only"), (0x02, "hidden"), (0x04, "system"), (0x08, "volume label"),
                  (0x10, "directory"), (0x20, "archive"), (0x40, "device"), (0x80, "normal"),
                  (0x100, "temporary"), (0x200, "sparse"), (0x400, "reparse point"),
                  (0x800, "compressed"))


def dos_attributes(external_attr: int) -> str:
    named = [word for bit, word in DOS_ATTRIBUTES if external_attr & bit]
    unnamed = external_attr & 0xFFFF & ~sum(bit for bit, _ in DOS_ATTRIBUTES)
    return ", ".join(named + (["%#x" % unnamed] if unnamed else [])) or "none"


def entry_differences(name: str, info: zipfile.ZipInfo, reference: zipfile.ZipInfo) -> list:
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


def build_info_differences(download, reference, source: str, given: str) -> list:
    reference_info, download_info = parse(reference), parse(download)
    commit = download_info.get("commit", "")
    found = []
    if commit != reference_info.get("commit"):
        text = "it was built from commit %s; %s %s %s" % (
            shown(commit) or "(none recorded)", source, "was built from" if given else "is at",
            reference_info.get("commit"))
        if COMMIT.fullmatch(commit) and not given:
            text += " (to check it against that commit's release, with this checkout's " \
                    "checks: scripts/verify-release.sh --commit %s FILE)" % commit[:40]
        found.append(text)
    if download_info.get("source-date-epoch") != reference_info.get("source-date-epoch"):
        found.append("its source date (SOURCE_DATE_EPOCH) is %s; %s's is %s" % (
            shown(download_info.get("source-date-epoch", "(none)")), source,
            reference_info.get("source-date-epoch")))
    toolchain = []
    suite, reference_suite = download_info.get("debian-suite"), reference_info.get("debian-suite")
    if suite != reference_suite:
        toolchain.append("it was built on Debian %s; %s %s" % (
            shown(suite or "(not recorded)"), "the reference zip was built on" if given else
            "this machine is", reference_suite or "(not recorded)"))
    packages, reference_packages = download_info["built-with"], reference_info["built-with"]
    for package in sorted(set(packages) | set(reference_packages)):
        if packages.get(package) != reference_packages.get(package):
            toolchain.append("it was built with %s %s; %s %s" % (
                shown(package), shown(packages.get(package, "(not recorded)")),
                "the reference zip was built with" if given else "this machine has",
                reference_packages.get(package, "(none)")))
    # Inside that root (scripts/in-clean-root.sh) the advice would lead back to it.
    if toolchain and not given and not os.environ.get("PORTCHECK_CLEAN_ROOT"):
        toolchain[0] += " (to check its bytes against a reference built on the Debian release " \
                        "and versions it recorded, as root: scripts/verify-release.sh --in-root FILE)"
    found += toolchain
    if not found and download != reference:
        found.append("BUILDINFO.txt differs from %s's" % source)
    return found


def layout_differences(top: str, reference_top: str, files: dict, wanted: dict, comment: bytes,
                       source: str) -> list:
    found = []
    if top != reference_top:
        found.append("its top folder is %s; %s's release is %s" % (top, source, reference_top))
    found += ["it lacks %s" % name for name in NAMES if name not in files]
    found += ["it holds %s, which a release does not" % shown(name)
              for name in files if name not in wanted]
    if [n for n in files if n in wanted] != [n for n in wanted if n in files]:
        found.append("its entries are in another order than a release's")
    if comment:
        found.append("the zip carries a comment; a release's has none")
    for name in (n for n in NAMES if n in files):
        found += entry_differences(name, files[name][0], wanted[name][0])
    return found


def differences(download: Entries, reference: Entries, release: Release, source: str,
                given: str, anchors, work: str) -> Findings:
    """The reference comes as read, and as the release it was proven to be."""
    data, comment, entries = download
    reference_entries = reference.entries
    epoch, reference_top = release.epoch, release.top
    names = [info.filename for info, _ in entries]
    top = names[0].split("/")[0] if names else ""
    outside = [n for n in names if not TOP_FOLDER.fullmatch(top) or not n.startswith(top + "/")]
    if outside:
        raise NotARelease("its entries must all lie in one top folder named portcheck-<version> "
                          "(digits, letters, '.', '+', '-'), and %s does not" % shown(outside[0]))
    files = {info.filename[len(top) + 1:]: (info, content) for info, content in entries}
    wanted = {info.filename[len(reference_top) + 1:]: (info, content)
              for info, content in reference_entries}
    found = layout_differences(top, reference_top, files, wanted, comment, source)
    contents = {name: content for name, (_, content) in files.items()}
    shown_lines = []
    for name in (n for n in EXECUTABLES if n in files):
        lines, problems = executable_check(name, contents[name], wanted[name][1], source, anchors,
                                           work)
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
        found += bytes_difference(data, contents, wanted, reference_top, epoch)
    return Findings(shown_lines, found)


def bytes_difference(data: bytes, contents: dict, wanted: dict, reference_top: str,
                     epoch: int) -> list:
    """The zip rebuilt from the reference's texts and the (proven) executables
    must be the download."""
    expected = {n: wanted[n][1] for n in NAMES}
    expected.update({n: contents[n] for n in EXECUTABLES})
    expected["SHA256SUMS"] = checksums(expected)
    expected = zip_bytes(reference_top, expected, MODES, epoch)
    if expected == data:
        return []
    at = next((i for i, (a, b) in enumerate(zip(expected, data)) if a != b),
              min(len(expected), len(data)))
    return ["its bytes differ from what release.sh writes for these same files, from byte %d "
            "on (data before, between or after the entries, or in their headers)" % at]
