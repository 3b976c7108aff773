"""Runs a program with no standard input, its output captured; one that
cannot start fails with status 127."""
import os
import subprocess


def run_tool(command: list, cwd: str = None, text: bool = False,
             env: dict = None, pass_fds: tuple = ()) -> subprocess.CompletedProcess:
    try:
        return subprocess.run(command, cwd=cwd, capture_output=True, text=text,
                              stdin=subprocess.DEVNULL, pass_fds=pass_fds,
                              env=None if env is None else dict(os.environ, **env))
    except OSError as error:
        said = "%s: %s" % (command[0], error.strerror)
        return subprocess.CompletedProcess(command, 127, "" if text else b"",
                                           said if text else said.encode())


def write_file(path: str, data: bytes) -> str:
    with open(path, "wb") as f:
        f.write(data)
    return path
