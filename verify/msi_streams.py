#!/usr/bin/python3
"""Copies a package's streams into a folder (stream-N, and streams.json),
in a process of its own under a memory limit: msitools' library reads the
hostile package in C."""
import argparse
import json
import os
import resource
import sys

import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import GLib, Libmsi


# A release's package holds a handful of streams (tables, the cabinet, the
# summary, a signature); far more is no release's.
LIMIT_STREAMS = 64


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


def main(arguments: list) -> int:
    parser = argparse.ArgumentParser(prog="msi_streams.py",
                                     description="Copies a package's streams into a folder.")
    parser.add_argument("package")
    parser.add_argument("folder")
    parser.add_argument("limit", type=int, help="the largest stream to copy, in bytes")
    given = parser.parse_args(arguments)
    package, folder, limit = given.package, given.folder, given.limit
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit_memory = 256 << 20 if hard == resource.RLIM_INFINITY else min(hard, 256 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit_memory, limit_memory))
    # The library's own warnings are for its developers, not for this reader.
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
    names = copy_streams(package, folder, limit)
    if isinstance(names, str):
        print("reason: " + names)
        return 1
    with open(os.path.join(folder, "streams.json"), "w") as f:
        json.dump(names, f)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
