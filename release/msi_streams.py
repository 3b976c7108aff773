#!/usr/bin/python3
"""Copies the streams of a Windows Installer package into a folder, one file
each, named by their number, with an index of their names: run by
verify_msi.py in a process of its own, under a memory limit, because the
package may have been made to do harm and msitools' library reads it in C.
Arguments: the package, the folder, the largest stream to copy (bytes)."""
import json
import os
import resource
import sys

import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi  # noqa: E402


def main(arguments):
    package, folder, limit = arguments[0], arguments[1], int(arguments[2])
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit_memory = 256 << 20 if hard == resource.RLIM_INFINITY else min(hard, 256 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit_memory, limit_memory))
    database = Libmsi.Database.new(package, Libmsi.DbFlags.READONLY, None)
    query = Libmsi.Query.new(database, "SELECT `Name`, `Data` FROM `_Streams`")
    query.execute(None)
    names = []
    while len(names) < 64:
        record = query.fetch()
        if record is None:
            break
        data = record.get_stream(2).read_bytes(limit + 1, None).get_data()
        if len(data) > limit:
            print("stream %d is over %d bytes" % (len(names), limit))
            return 1
        with open(os.path.join(folder, "stream-%d" % len(names)), "wb") as f:
            f.write(data)
        names.append(record.get_string(1))
    with open(os.path.join(folder, "streams.json"), "w") as f:
        json.dump(names, f)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
