#!/usr/bin/python3
"""A Windows Installer package read in a process of its own under a memory
and a time limit, and the calls that start that process: every stream
copied into a folder (stream-N, and streams.json; msitools' library), its
signature's stream alone, or its Authenticode digest (olefile). No stream
is held whole: a signed package may be far larger than the memory allowed."""
import argparse
import array
import functools
import hashlib
import json
import os
import resource
import signal
import struct
import sys
import uuid
from typing import Union

if __package__ in (None, ""):  # started as a file: the packages lie at the checkout's top
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

import olefile

from release.hostile_input import NotARelease, shown
from release.tools import run_tool
from verify.digests import DIGESTS

OLE_MAGIC = bytes.fromhex("d0cf11e0a1b11ae1")
# How much of a stream, or of a file being copied, is held at once.
READ_CHUNK = 1 << 20
# A release's package holds a handful of streams (tables, the cabinet, the
# summary, a signature); far more is no release's.
LIMIT_STREAMS = 64
# A package is read in a second or two; a file that would keep a reader
# busy far longer is stopped.
LIMIT_SECONDS = 30
LIMIT_MEMORY = 256 << 20
# An extended signature's stream holds a digest of the file's metadata.
LIMIT_EXTENDED = 64
# The package's signature, and its extended signature, in streams of these
# names (as Libmsi lists them; the compound file holds them in UTF-16).
SIGNATURE_STREAM = "\x05DigitalSignature"
SIGNATURE = SIGNATURE_STREAM.encode("utf-16-le")
EXTENDED = "\x05MsiDigitalSignatureEx".encode("utf-16-le")
HERE = os.path.abspath(__file__)


class Unreadable(Exception):
    """What of the compound file cannot be read; str() says it."""


def reader(arguments: list) -> Union[dict, str]:
    """{key: value} of what this file said, started on arguments; or the
    reason (str) it gave, or how it ended, when it read nothing."""
    done = run_tool([sys.executable, "-B", HERE] + arguments, text=True)
    said = dict(line.split(": ", 1) for line in done.stdout.splitlines() if ": " in line)
    if done.returncode == 0 and "reason" not in said:
        return said
    # Only the reader's own words: a library's raw text says nothing to a user.
    if "reason" in said:
        return said["reason"]
    if done.returncode == -signal.SIGXCPU:
        return "its reader was stopped after the %d s of processor time it may take at most" % (
            LIMIT_SECONDS)
    if done.returncode < 0:  # GLib stops its process with SIGTRAP when it cannot allocate
        return "its reader stopped on signal %d (%s)" % (-done.returncode,
                                                         signal.strsignal(-done.returncode))
    return "its reader stopped with status %d" % done.returncode


def not_readable(reason: str) -> NotARelease:
    """The refusal of a package the reader could not read, for reason (its words)."""
    return NotARelease("not a readable Windows Installer package (%s)" % shown(reason))


def copy_streams(package: str, folder: str, limit: int) -> list:
    """The streams' names, or a reason (str) when it cannot be read."""
    import gi  # only this way of reading needs msitools' library

    gi.require_version("Libmsi", "1.0")
    from gi.repository import GLib, Libmsi

    try:
        database = Libmsi.Database.new(package, Libmsi.DbFlags.READONLY, None)
        query = Libmsi.Query.new(database, "SELECT `Name`, `Data` FROM `_Streams`")
        query.execute(None)
    except (GLib.Error, TypeError):
        return "its compound file or its stream list cannot be read"
    names = []
    while True:
        try:
            record = query.fetch()
            if record is None:
                return names
            if len(names) == LIMIT_STREAMS:
                return "it holds more than %d streams; a release's package holds a few" % (
                    LIMIT_STREAMS)
            stream, name = record.get_stream(2), record.get_string(1)
            with open(os.path.join(folder, "stream-%d" % len(names)), "wb") as f:
                size = 0
                while size <= limit:
                    chunk = stream.read_bytes(READ_CHUNK, None).get_data()
                    if not chunk:
                        break
                    f.write(chunk)
                    size += len(chunk)
        except (GLib.Error, TypeError, AttributeError):
            return "stream %d cannot be read" % len(names)
        if size > limit:
            return "stream %d is over %d bytes" % (len(names), limit)
        names.append(name)


def sector_runs(fat, start: int, count: int, longest: int):
    """(first sector, how many) of each run of consecutive sectors, longest
    at most, in the count sectors of the chain from start."""
    first, length, sector = None, 0, start
    for _ in range(count):
        if sector >= len(fat):  # past the FAT, or a chain's end or free mark
            raise Unreadable("a stream's chain of sectors leaves the file")
        if first is not None and sector == first + length and length < longest:
            length += 1
        else:
            if first is not None:
                yield first, length
            first, length = sector, 1
        sector = fat[sector]
    if first is not None:
        yield first, length


class Package:
    """A compound file as olefile reads its header, FAT and directory; its
    streams read here, a chunk at a time: olefile's openstream reads a
    stream whole, and a package's cabinet can be most of the package."""

    def __init__(self, path: str):
        self.ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
        self.ministream = None  # the sectors of the stream that holds the small ones

    def root_stream(self, name: bytes):
        found = [kid for kid in self.ole.root.kids if kid.name_utf16 == name]
        return found[0] if found and found[0].entry_type == olefile.STGTY_STREAM else None

    def read_at(self, at: int, size: int) -> bytes:
        self.ole.fp.seek(at)
        data = self.ole.fp.read(size)
        if len(data) != size:
            raise Unreadable("a stream's sector lies beyond the file's end")
        return data

    def chunks(self, entry):
        """The stream's bytes, READ_CHUNK at most at a time."""
        ole, size = self.ole, entry.size
        if size >= ole.minisectorcutoff:
            left = size
            for first, length in sector_runs(ole.fat, entry.isectStart,
                                             -(-size // ole.sectorsize),
                                             READ_CHUNK // ole.sectorsize):
                wanted = min(left, length * ole.sectorsize)
                yield self.read_at((first + 1) * ole.sectorsize, wanted)
                left -= wanted
            return
        if self.ministream is None:
            ole.loadminifat()
            count = -(-ole.root.size // ole.sectorsize)
            self.ministream = array.array("I", (sector for first, length in sector_runs(
                ole.fat, ole.root.isectStart, count, count)
                for sector in range(first, first + length)))
        small, data = ole.minisectorsize, bytearray()
        for first, _ in sector_runs(ole.minifat, entry.isectStart, -(-size // small), 1):
            wanted = min(small, size - len(data))
            if first * small + wanted > ole.root.size:
                raise Unreadable("a small stream lies beyond the mini stream")
            at, within = divmod(first * small, ole.sectorsize)
            data += self.read_at((self.ministream[at] + 1) * ole.sectorsize + within, wanted)
        yield bytes(data)


def hash_order(one, other) -> int:
    """The order signers digest a storage's children in: their raw UTF-16
    names with terminators, compared as bytes over the shorter; where that is
    equal, the longer first."""
    a, b = one.name_utf16 + b"\0\0", other.name_utf16 + b"\0\0"
    shorter = min(len(a), len(b))
    if a[:shorter] != b[:shorter]:
        return -1 if a[:shorter] < b[:shorter] else 1
    return -1 if len(a) > len(b) else 1


def children(storage, top: bool) -> list:
    kids = sorted(storage.kids, key=functools.cmp_to_key(hash_order))
    for kid in kids:
        if kid.namelength < 2 or kid.namelength % 2:
            raise Unreadable("a directory entry's name is %d bytes long" % kid.namelength)
    # The signature's own streams are left out of what it covers.
    return [kid for kid in kids if not top or kid.name_utf16 not in (SIGNATURE, EXTENDED)]


def class_id(entry) -> bytes:
    return uuid.UUID(entry.clsid).bytes_le if entry.clsid else bytes(16)


def content_walk(package: Package, storage, top: bool, digest) -> None:
    """As Windows digests a package: every stream's content, each storage's
    children in hash_order, then its class ID."""
    for child in children(storage, top):
        if child.entry_type == olefile.STGTY_STREAM:
            for chunk in package.chunks(child):
                digest.update(chunk)
        elif child.entry_type == olefile.STGTY_STORAGE:
            content_walk(package, child, False, digest)
    digest.update(class_id(storage))


def entry_metadata(entry, digest) -> None:
    """Its name (the root's none); a stream's size (its low 32 bits), another
    entry's class ID; its state bits; its creation and modification times
    (the root's none)."""
    root = entry.entry_type == olefile.STGTY_ROOT
    digest.update(b"" if root else entry.name_utf16)
    digest.update(struct.pack("<I", entry.sizeLow) if entry.entry_type == olefile.STGTY_STREAM
                  else class_id(entry))
    digest.update(struct.pack("<I", entry.dwUserFlags))
    digest.update(b"" if root else struct.pack("<QQ", entry.createTime, entry.modifyTime))


def metadata_walk(storage, top: bool, digest) -> None:
    """The pre-hash an extended signature's stream holds: a storage's own
    entry, then its children in hash_order, each storage among them walked
    the same way where it lies."""
    entry_metadata(storage, digest)
    for child in children(storage, top):
        if child.entry_type == olefile.STGTY_STREAM:
            entry_metadata(child, digest)
        elif child.entry_type == olefile.STGTY_STORAGE:
            metadata_walk(child, False, digest)


def compound_file_read(read):
    """A decorator: what read(path, ...) answers, or the reason the compound
    file cannot be read; running out of memory is the caller's to say."""
    @functools.wraps(read)
    def guarded(*arguments):
        try:
            return read(Package(arguments[0]), *arguments[1:])
        except Unreadable as error:
            return {"reason": "its compound file cannot be read (%s)" % error}
        except MemoryError:
            raise
        except Exception:  # olefile raises many kinds on a malformed file
            return {"reason": "its compound file cannot be read"}
    return guarded


@compound_file_read
def authenticode_digest(package: Package, algorithm: str) -> dict:
    """What --digest prints: the digest, and metadata: differs when the
    package's own entries are not those its extended signature's stream
    (MsiDigitalSignatureEx: osslsigncode writes one with -add-msi-dse)
    records; or a reason. That stream is digested first, as its bytes
    stand, so the signature covers them."""
    digest, said = hashlib.new(algorithm), {}
    extended = [kid for kid in package.ole.root.kids if kid.name_utf16 == EXTENDED]
    if extended:
        if extended[0].entry_type != olefile.STGTY_STREAM or \
                extended[0].size > LIMIT_EXTENDED:
            return {"reason": "its extended signature (MsiDigitalSignatureEx) holds more "
                    "than the digest of %d bytes at most that it is defined to hold" %
                    LIMIT_EXTENDED}
        recorded = b"".join(package.chunks(extended[0]))
        digest.update(recorded)
        metadata = hashlib.new(algorithm)
        metadata_walk(package.ole.root, True, metadata)
        if metadata.digest() != recorded:
            said["metadata"] = "differs"
    content_walk(package, package.ole.root, True, digest)
    return dict(said, digest=digest.hexdigest())


@compound_file_read
def signature_stream(package: Package, to: str, limit: int) -> dict:
    """What --signature prints: the size of the signature's stream, written
    to the file to when limit bytes at most, or none; or a reason."""
    found = package.root_stream(SIGNATURE)
    if found is None:
        return {"signature": "none"}
    if found.size <= limit:
        with open(to, "wb") as f:
            for chunk in package.chunks(found):
                f.write(chunk)
    return {"signature": str(found.size)}


def lowered(kind: int, limit: int) -> int:
    """The limit set: a lower one that the reader was started under stays."""
    limit = min([limit] + [bound for bound in resource.getrlimit(kind)
                           if bound != resource.RLIM_INFINITY])
    resource.setrlimit(kind, (limit, limit))
    return limit


def main(arguments: list) -> int:
    parser = argparse.ArgumentParser(
        prog="msi_streams.py", description="Copies a package's streams into a folder, or "
        "writes its signature's stream to a file, or prints its Authenticode digest.")
    parser.add_argument("--digest", choices=DIGESTS,
                        help="print the package's Authenticode digest")
    parser.add_argument("--signature", action="store_true",
                        help="write the signature's stream to the file named")
    parser.add_argument("package")
    parser.add_argument("folder", nargs="?", help="the folder, or the signature's file")
    parser.add_argument("limit", type=int, nargs="?", help="the largest stream to copy, in bytes")
    given = parser.parse_args(arguments)
    if not given.digest and given.limit is None:
        parser.error("a folder and a limit, or --digest")
    limit_memory = lowered(resource.RLIMIT_AS, LIMIT_MEMORY)
    lowered(resource.RLIMIT_CPU, LIMIT_SECONDS)
    # The library's own warnings are for its developers, not for this reader.
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
    try:
        if given.digest:
            said = authenticode_digest(given.package, given.digest)
        elif given.signature:
            said = signature_stream(given.package, given.folder, given.limit)
        else:
            names = copy_streams(given.package, given.folder, given.limit)
            if isinstance(names, str):
                said = {"reason": names}
            else:
                with open(os.path.join(given.folder, "streams.json"), "w") as f:
                    json.dump(names, f)
                said = {}
    except MemoryError:
        said = {"reason": "its reader ran out of the %d MiB of memory it may take" % (
            limit_memory >> 20)}
    for key, value in said.items():
        print("%s: %s" % (key, value))
    return 1 if "reason" in said else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
