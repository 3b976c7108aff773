"""A downloaded package against the one make_msi.py builds from the
reference's files (with the download's own executable and signature, when
signed). Its streams are read in a process of its own, its cabinet here."""
import json
import os
import struct
import zlib

from verify.authenticode import (Findings, package_attached, executable_check, judge, signer_verdict,
                          unsigned_problems)
from release.make_msi import TEXTS, msi_bytes
from release.package_facts import ARCHITECTURES, version_of
from release.tools import write_file
from release.hostile_input import NotARelease, read_bounded, shown
from release.zip_reading import Release
from verify.msi_streams import OLE_MAGIC, SIGNATURE_STREAM, not_readable, reader
from verify.signed_file import PackageFile

# A release's package is about 60 KiB.
LIMIT_PACKAGE = 4 << 20
# Its largest stream, the cabinet: a few tens of KiB.
LIMIT_STREAM = 1 << 20
# What the cabinet holds unpacked: as much again.
LIMIT_UNPACKED = 1 << 20
MACHINES = {a.machine: a.name for a in ARCHITECTURES.values()}


def streams(path: str, work: str) -> dict:
    folder = os.path.join(work, "streams")
    os.makedirs(folder)
    said = reader([path, folder, str(LIMIT_STREAM)])
    index = os.path.join(folder, "streams.json")
    if isinstance(said, str) or not os.path.exists(index):
        raise not_readable(said if isinstance(said, str) else "its reader wrote no list of streams")
    with open(index) as f:
        names = json.load(f)
    found = {}
    for number, name in enumerate(names):
        with open(os.path.join(folder, "stream-%d" % number), "rb") as f:
            found[name] = f.read()
    return found


def cabinet_files(cab: bytes) -> dict:
    """{name: bytes} of an MSZIP or stored cabinet, bounded."""
    try:
        magic, size, files_at, folders, count, flags = struct.unpack_from("<4s4xI4xI6xHHH", cab)
        if magic != b"MSCF" or size != len(cab) or flags or folders != 1 or count > 8:
            raise ValueError("not a cabinet of one folder")
        start, blocks, method = struct.unpack_from("<IHH", cab, 36)
        data, history, at = b"", b"", start
        for _ in range(blocks):
            packed, unpacked = struct.unpack_from("<HH", cab, at + 4)
            block = cab[at + 8:at + 8 + packed]
            at += 8 + packed
            if method == 1 and block[:2] == b"CK":
                inflate = zlib.decompressobj(-15, zdict=history[-32768:]) if history else \
                    zlib.decompressobj(-15)
                block = inflate.decompress(block[2:], unpacked + 1)
            elif method != 0:
                raise ValueError("compression method %d" % method)
            if len(block) != unpacked or len(data) + unpacked > LIMIT_UNPACKED:
                raise ValueError("a block is not the size it claims")
            history = (history + block)[-32768:]
            data += block
        files = {}
        for _ in range(count):
            length, offset = struct.unpack_from("<II", cab, files_at)
            end = cab.index(b"\0", files_at + 16)
            files[cab[files_at + 16:end].decode("ascii")] = data[offset:offset + length]
            if offset + length > len(data):
                raise ValueError("a file lies beyond the data")
            files_at = end + 1
        return files
    except (struct.error, ValueError, zlib.error, UnicodeDecodeError) as error:
        raise NotARelease("its cabinet cannot be read (%s)" % shown(str(error))) from None


def read_package(path: str) -> bytes:
    package = read_bounded(path, "it", "a package is a few tens of KiB", LIMIT_PACKAGE)
    if package[:8] != OLE_MAGIC:
        raise NotARelease("it is neither a zip nor a Windows Installer package")
    return package


def architecture_of(image: bytes) -> str:
    try:
        return MACHINES[struct.unpack_from("<H", image, struct.unpack_from(
            "<I", image, 0x3C)[0] + 4)[0]]
    except (struct.error, KeyError):
        raise NotARelease("it holds no portcheck.exe for x64 or x86") from None


def content_problems(cabinet: dict, files: dict, architecture: str, source: str) -> list:
    problems = []
    for name, _, key in TEXTS:
        if cabinet.get(key) != files[name]:
            problems.append("%s package: %s differs from %s's" % (architecture, name, source))
    if set(cabinet) != {"portcheck.exe"} | {key for _, _, key in TEXTS}:
        problems.append("%s package: it holds %s; a package holds portcheck.exe and %s"
                        % (architecture, shown(", ".join(sorted(cabinet))),
                           ", ".join(name for name, _, _ in TEXTS)))
    return problems


def differences(path: str, reference: Release, source: str, anchors, work: str) -> Findings:
    version, epoch, files = version_of(reference.top), reference.epoch, reference.files
    package = read_package(path)
    # The bytes judged are the bytes unpacked: the reader gets this copy, not the path.
    copy = PackageFile(write_file(os.path.join(work, "download.msi"), package))
    found = streams(copy.path, work)
    cabinet = cabinet_files(found.get("portcheck.cab", b""))
    image = cabinet.get("portcheck.exe", b"")
    architecture = architecture_of(image)
    label = "%s package" % architecture
    lines, problems = executable_check(label + ": portcheck.exe", image,
                                       files["%s/portcheck.exe" % architecture], source, anchors,
                                       work)
    problems += content_problems(cabinet, files, architecture, source)
    if problems:
        return Findings(lines, problems)
    built = msi_bytes(version, architecture, image, files, epoch)
    der = found.get(SIGNATURE_STREAM)
    if der is None:
        if built == package:
            return Findings(lines + ["%s: unsigned; identical to %s's" % (label, source)],
                            unsigned_problems(label, anchors))
        return Findings(lines, ["%s: unsigned; DIFFERS from the package %s builds" % (
            label, source)] + unsigned_problems(label, anchors))
    if package_attached(built, der, work) != package:
        problems.append("%s: with its signature taken as it is, it DIFFERS from the package %s "
                        "builds from these files" % (label, source))
    signer = signer_verdict(label, judge(copy, der, True, anchors, work))
    if problems or signer.differences:
        return Findings(lines, problems + signer.differences)
    return Findings(lines + ["%s: signed; the signature covers exactly the package %s builds "
                             "from these files" % (label, source)] + signer.lines, [])
