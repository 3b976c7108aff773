"""Output that is whole or absent, even when the command is stopped."""
import os
import signal
import sys
import tempfile


def end_cleanly_on_signals() -> None:
    """SIGTERM, SIGHUP and SIGINT as SystemExit, so that cleanups run."""
    def stop(number, _frame):
        sys.exit(128 + number)
    for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(number, stop)


def open_output(path: str) -> str:
    """A temporary file beside path, made now: a folder that cannot be written
    shows before any work is done."""
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=".partial-",
                                         suffix=os.path.splitext(path)[1])
    os.close(handle)
    return temporary


def finish_output(temporary: str, data: bytes, path: str,
                  replace: bool = True) -> None:
    """Puts data at path through the temporary file, which is gone afterwards;
    without replace, an existing file stays (FileExistsError)."""
    try:
        with open(temporary, "wb") as f:
            f.write(data)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        if replace:
            os.replace(temporary, path)
        else:
            os.link(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def write_output(path: str, data: bytes) -> str:
    """Writes data at path whole, or not at all; the path."""
    finish_output(open_output(path), data, path)
    return path
