"""The basics of reading a file that may have been made to do harm (a
download, a signature, a CA file, a build record): regular files only, a
size bound before anything is read, a file that changes while it is read
refused, every fault one NotARelease line, nothing shown unescaped."""
import os
import stat
from typing import Optional


class NotARelease(Exception):
    """A file that cannot be judged; str() is the one line that says why."""


def shown(text) -> str:
    """Printable ASCII (but the backslash) as it is, the rest escaped: no name
    in a zip or certificate can move the cursor or fake a line."""
    if isinstance(text, bytes):
        text = text.decode("latin-1")
    return "".join(c if " " <= c <= "~" and c != "\\" else
                   "\\x%02x" % ord(c) if ord(c) < 0x100 else "\\u%04x" % ord(c)
                   for c in text)


def refuse_unless_regular(path: str) -> None:
    # Before opening: a FIFO would block the reader for ever, a device feed it without end.
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        raise NotARelease("%s cannot be read (%s)" % (shown(path), shown(error.strerror or "")))
    kinds = ((stat.S_ISFIFO, "a FIFO (named pipe)"), (stat.S_ISDIR, "a folder"),
             (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
             (stat.S_ISSOCK, "a socket"))
    for test, kind in kinds:
        if test(mode):
            raise NotARelease("%s is %s; only a regular file is read" % (shown(path), kind))
    if not stat.S_ISREG(mode):
        raise NotARelease("%s is not a regular file; only a regular file is read" % shown(path))


CHANGED = "%s changed while it was read (%d bytes, then %d)"


def changed(opened, size: int, label: str) -> Optional[str]:
    """Why the open file, read up to size (what it held when its size was
    bounded), is not the file judged: bytes appended meanwhile went unread,
    or some of what was judged is gone. None when it still ends there."""
    now = os.fstat(opened.fileno()).st_size
    opened.seek(size)
    beyond = len(opened.read(1))
    return None if now == size and not beyond else CHANGED % (label, size, max(now, size + beyond))


def read_bounded(path: str, label: str, usual: str, limit: int) -> bytes:
    """The file's bytes, at most limit of them; label names the file in a
    refusal, usual says what such a file holds."""
    refuse_unless_regular(path)
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            if size > limit:
                raise NotARelease("%s is %d bytes; %s, and none over %d bytes is read"
                                  % (label, size, usual, limit))
            data = f.read(size + 1)
        if len(data) != size:  # bytes judged must be the bytes whose size was bounded
            raise NotARelease(CHANGED % (label, size, len(data)))
        return data
    except OSError as error:
        raise NotARelease("%s cannot be read (%s)"
                          % (label, shown(error.strerror or ""))) from None
