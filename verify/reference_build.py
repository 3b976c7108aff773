"""The release of this checkout's tracked files as they stand (nothing
untracked, such as the download itself), or of a commit of it, built in a
`git clone --shared` in the work folder: nothing is written into the checkout."""
import os
import re
import shutil
import sys
from typing import NamedTuple

from release.tools import run_tool

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# What a commit may be named with: no option, no space, nothing a shell reads.
COMMIT_NAME = re.compile(r"[0-9A-Za-z._/~^][0-9A-Za-z._/~^-]*")


class NoReference(Exception):
    pass


def git(*arguments: str, folder: str = TOP):
    return run_tool(["git", "--no-optional-locks", "-C", folder] + list(arguments))


def wanted_commit(commit: str) -> str:
    named = commit or "HEAD"
    found = git("rev-parse", "--verify", "-q", named + "^{commit}")
    if found.returncode != 0:
        raise NoReference("this repository has no commit %s (git fetch may bring it)" % commit
                          if commit else "%s is not a git checkout with a commit to build" % TOP)
    return found.stdout.decode().strip()


def exported(wanted: str, with_changes: bool, source: str) -> None:
    """The commit at source; with_changes, the tracked files as they stand over it."""
    for step in (git("clone", "-q", "--shared", "--no-checkout", TOP, source, folder="."),
                 git("checkout", "-q", "--detach", wanted, folder=source)):
        if step.returncode != 0:
            raise NoReference("commit %s could not be exported (%s)" % (
                wanted, step.stderr.decode("utf-8", "replace").strip()))
    if not with_changes:
        return
    changed = git("diff", "--name-only", "-z", "HEAD").stdout.decode("utf-8", "surrogateescape")
    for name in filter(None, changed.split("\0")):
        given, copy = os.path.join(TOP, name), os.path.join(source, name)
        if os.path.exists(given):
            os.makedirs(os.path.dirname(copy), exist_ok=True)
            shutil.copy2(given, copy)
        elif os.path.lexists(copy):
            os.unlink(copy)


class Reference(NamedTuple):
    zip_path: str
    source: str  # the checkout it was built from


def reference_zip(commit: str, work: str) -> Reference:
    wanted = wanted_commit(commit)
    source = os.path.join(work, "src")
    exported(wanted, not commit, source)
    print("Building the release of commit %s to compare with (about a minute)..." % wanted,
          file=sys.stderr, flush=True)
    made = run_tool(["sh", os.path.join(source, "scripts", "release.sh"),
                     os.path.join(work, "out")], text=True)
    if made.returncode != 0:
        said = (made.stdout + made.stderr).splitlines()
        raise NoReference("the release of commit %s could not be built:\n%s" % (
            wanted, "\n".join(said[-20:])))
    return Reference(made.stdout.splitlines()[-1], source)
