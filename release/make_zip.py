#!/usr/bin/python3
"""Writes the release zip: both executables, README.txt and SHA256SUMS, under
one top folder, with fixed entry order, times and permissions, so that the
same inputs give the same bytes. Prints the zip's path last."""
import hashlib
import os
import sys
import time
import zipfile


def main():
    version, x64, x86, dist = sys.argv[1:5]
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    stamp = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "README.txt.in"), encoding="utf-8") as f:
        readme = f.read().replace("@VERSION@", version).replace("\n", "\r\n").encode("ascii")
    files = []
    for arch, path in (("x64", x64), ("x86", x86)):
        with open(path, "rb") as f:
            files.append((arch + "/portcheck.exe", f.read(), 0o755))
    files.append(("README.txt", readme, 0o644))
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name) for name, data, _ in files)
    files.append(("SHA256SUMS", sums.encode("ascii"), 0o644))

    top = "portcheck-%s" % version
    os.makedirs(dist, exist_ok=True)
    zip_path = os.path.join(dist, "%s-windows.zip" % top)
    with zipfile.ZipFile(zip_path, "w") as archive:
        for name, data, mode in sorted(files):
            entry = zipfile.ZipInfo("%s/%s" % (top, name), date_time=stamp)
            entry.create_system = 3  # the permissions below are Unix ones
            entry.external_attr = (0o100000 | mode) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data, compresslevel=9)
    print(zip_path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
