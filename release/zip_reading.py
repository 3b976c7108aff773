"""Reading a zip, a download or the steps' own: bounded before anything is
inflated, every malformed file one NotARelease line."""
import calendar
import io
import zipfile
from typing import Dict, List, NamedTuple, Tuple

from release.hostile_input import NotARelease, read_bounded, shown
from release.zip_layout import NAMES


# A release zip is about 60 KiB and its largest entry about 30 KiB, a package
# or a CA file of roots a few hundred KiB at most; a file far beyond that is
# refused before anything in it is read or inflated.
LIMIT_ZIP = 4 << 20
LIMIT_ENTRY = 1 << 20
LIMIT_ENTRIES = 32


def refuse_entry(info: zipfile.ZipInfo, label: str) -> None:
    name = "%s: entry %s" % (label, shown(info.filename))
    if info.flag_bits & 0x1:
        raise NotARelease("%s is encrypted; a release's entries are not" % name)
    if info.compress_type != zipfile.ZIP_DEFLATED:
        raise NotARelease("%s uses compression method %d; a release uses only deflate (8)"
                          % (name, info.compress_type))
    if max(info.file_size, info.compress_size) > LIMIT_ENTRY:
        raise NotARelease("%s claims %d bytes; a release's entries are a few tens of KiB, "
                          "and none over %d bytes is read"
                          % (name, max(info.file_size, info.compress_size), LIMIT_ENTRY))


class Entries(NamedTuple):
    data: bytes
    comment: bytes
    entries: List[Tuple[zipfile.ZipInfo, bytes]]


def read_entries(path: str) -> Entries:
    label = shown(path)
    data = read_bounded(path, label, "a release zip is a few tens of KiB", LIMIT_ZIP)
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
        infos = archive.infolist()
        if not infos:
            raise NotARelease("%s is a zip with no entries; a release holds %d" % (label,
                                                                                len(NAMES)))
        if len(infos) > LIMIT_ENTRIES:
            raise NotARelease("%s holds %d entries; a release holds %d" % (label, len(infos),
                                                                        len(NAMES)))
        entries = []
        for info in infos:
            refuse_entry(info, label)
            with archive.open(info) as f:
                entries.append((info, f.read(LIMIT_ENTRY + 1)))
    except NotARelease:
        raise
    except Exception as error:  # zipfile raises many kinds on malformed input
        raise NotARelease("%s is not a readable zip (%s)" % (
            label, shown(str(error) or type(error).__name__))) from None
    return Entries(data, archive.comment, entries)


class Release(NamedTuple):
    top: str                # its top folder, portcheck-<version>
    files: Dict[str, bytes]  # by name under the top folder
    modes: Dict[str, int]
    epoch: int              # the entries' one time


def read_zip(path: str, entries=None) -> Release:
    if entries is None:
        entries = read_entries(path).entries
    found = [info.filename for info, _ in entries]
    top = found[0].split("/")[0] if found else ""
    if not top.startswith("portcheck-") or found != ["%s/%s" % (top, name) for name in NAMES]:
        raise NotARelease("%s does not hold a release made by scripts/release.sh: entries %s, "
                          "want portcheck-<version>/ with %s"
                          % (shown(path), shown(", ".join(found)), ", ".join(NAMES)))
    times = {info.date_time for info, _ in entries}
    if len(times) != 1:
        raise NotARelease("%s: its entries' times differ, a release's are one" % shown(path))
    files = {info.filename[len(top) + 1:]: content for info, content in entries}
    modes = {info.filename[len(top) + 1:]: (info.external_attr >> 16) & 0o7777
             for info, _ in entries}
    return Release(top, files, modes, calendar.timegm(times.pop() + (0, 0, 0)))
