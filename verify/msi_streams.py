#!/usr/bin/python3
"""Copies a package's streams into a folder (stream-N, and streams.json),
or prints its Authenticode digest, in a process of its own under a memory
limit: msitools' library and olefile read the hostile package."""
import argparse
import hashlib
import io
import json
import os
import resource
import sys
import uuid

import olefile

import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import GLib, Libmsi


# A release's package holds a handful of streams (tables, the cabinet, the
# summary, a signature); far more is no release's.
LIMIT_STREAMS = 64
LIMIT_SECONDS = 30


def copy_streams(package: bytes, folder: str, limit: int) -> list:
    """The streams' names, or a reason (str) when it cannot be read."""
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
            data = record.get_stream(2).read_bytes(limit + 1, None).get_data()
            name = record.get_string(1)
        except (GLib.Error, TypeError, AttributeError):
            return "stream %d cannot be read" % len(names)
        if len(data) > limit:
            return "stream %d is over %d bytes" % (len(names), limit)
        with open(os.path.join(folder, "stream-%d" % len(names)), "wb") as f:
            f.write(data)
        names.append(name)


SIGNATURES = ("\x05DigitalSignature", "\x05MsiDigitalSignatureEx")


# An extended signature's stream holds a digest of the file's metadata.
LIMIT_EXTENDED = 64


def authenticode_digest(package: bytes, algorithm: str):
    """As Windows digests a package: every stream's content, each storage's
    children in the order of their raw UTF-16 names, then its class ID; at
    the top, the signature's own streams left out. An extended signature's
    stream (MsiDigitalSignatureEx: osslsigncode writes one with -add-msi-dse)
    is digested first, as its bytes stand, so the signature covers them; the
    digest of the file's metadata that it holds is not computed again, so a
    package is judged on what a plain signature covers. A reason (str) when
    the compound file cannot be read."""
    try:
        ole = olefile.OleFileIO(io.BytesIO(package), raise_defects=olefile.DEFECT_INCORRECT)
        digest = hashlib.new(algorithm)
        if ole.exists(SIGNATURES[1]):
            extended = ole.openstream(SIGNATURES[1]).read(LIMIT_EXTENDED + 1)
            if len(extended) > LIMIT_EXTENDED:
                return "its extended signature (MsiDigitalSignatureEx) holds more than the " \
                       "digest of %d bytes at most that it is defined to hold" % LIMIT_EXTENDED
            digest.update(extended)
        walk(ole, ole.root, [], digest)
        return digest.digest()
    except Exception:  # olefile raises many kinds on a malformed file
        return "its compound file cannot be read"


def walk(ole, storage, path: list, digest) -> None:
    for child in sorted(storage.kids, key=lambda kid: kid.name.encode("utf-16-le") + b"\0\0"):
        if not path and child.name in SIGNATURES:
            continue
        if child.entry_type == olefile.STGTY_STREAM:
            digest.update(ole.openstream(path + [child.name]).read())
        elif child.entry_type == olefile.STGTY_STORAGE:
            walk(ole, child, path + [child.name], digest)
    digest.update(uuid.UUID(storage.clsid).bytes_le if storage.clsid else bytes(16))


def main(arguments: list) -> int:
    parser = argparse.ArgumentParser(prog="msi_streams.py",
                                     description="Copies a package's streams into a folder.")
    parser.add_argument("--digest", choices=("sha1", "sha256", "sha384", "sha512"),
                        help="print the package's Authenticode digest instead")
    parser.add_argument("package")
    parser.add_argument("folder", nargs="?")
    parser.add_argument("limit", type=int, nargs="?", help="the largest stream to copy, in bytes")
    given = parser.parse_args(arguments)
    if not given.digest and given.limit is None:
        parser.error("a folder and a limit, or --digest")
    package, folder, limit = given.package, given.folder, given.limit
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit_memory = 256 << 20 if hard == resource.RLIM_INFINITY else min(hard, 256 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit_memory, limit_memory))
    # A package is read in well under a second; a file that would keep a reader
    # busy far longer is stopped.
    resource.setrlimit(resource.RLIMIT_CPU, (LIMIT_SECONDS, LIMIT_SECONDS))
    # The library's own warnings are for its developers, not for this reader.
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
    if given.digest:
        with open(package, "rb") as f:
            found = authenticode_digest(f.read(), given.digest)
        print("reason: " + found if isinstance(found, str) else "digest: " + found.hex())
        return 1 if isinstance(found, str) else 0
    names = copy_streams(package, folder, limit)
    if isinstance(names, str):
        print("reason: " + names)
        return 1
    with open(os.path.join(folder, "streams.json"), "w") as f:
        json.dump(names, f)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
