"""What the tests of the made release share, made once per test run (one
unittest process): a work folder, the release of this checkout, releases of
copies of it, the SBOM validator and a Wine prefix to copy."""
import atexit
import contextlib
import functools
import os
import shutil
import subprocess
import tempfile

from tests.support import sbom_check

URL = "https://downloads.invalid/portcheck/1.0.0"
# Both builds run in one prefix, of the Wine that runs 32-bit programs too.
BOTH = dict(os.environ, PORTCHECK_WINE_ARCH="x86")


@functools.lru_cache(maxsize=None)
def work() -> str:
    """PORTCHECK_TEST_WORK, which its maker removes (scripts/test.sh, which
    hands the release on), or a folder removed at exit."""
    if os.environ.get("PORTCHECK_TEST_WORK"):
        return os.environ["PORTCHECK_TEST_WORK"]
    folder = tempfile.mkdtemp(prefix="portcheck-tests-")
    atexit.register(shutil.rmtree, folder, True)
    return folder


def run(*command, **options) -> subprocess.CompletedProcess:
    return subprocess.run(list(command), capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          **options)


def dist_files(dist) -> dict:
    """{name: path} of what a release wrote into dist/."""
    return {name: os.path.join(dist, name) for name in sorted(os.listdir(dist))}


def make_release(source, folder, env=None, url=URL) -> dict:
    """scripts/release.sh of the tree at source, its builds and dist/ in folder."""
    made = run("sh", os.path.join(source, "scripts", "release.sh"), "--download-url", url, folder,
               env=env)
    if made.returncode != 0:  # every test that needs it fails with the release's own words
        raise RuntimeError("scripts/release.sh failed with status %d:\n%s%s" % (
            made.returncode, made.stdout, made.stderr))
    return dist_files(os.path.dirname(made.stdout.splitlines()[-1]))


@functools.lru_cache(maxsize=None)
def release() -> dict:
    """This checkout's release, at the commit's time: {name in dist/: path}."""
    return make_release(".", os.path.join(work(), "release"))


def zip_path() -> str:
    return next(path for name, path in release().items() if name.endswith("-windows.zip"))


def copy_tree(to, with_git=False) -> None:
    """The source tree as git sees it (tracked and untracked files, the ignored
    ones left out); with its .git, the copy names the same commit and state."""
    files = run("git", "ls-files", "-co", "--exclude-standard", "-z", check=True).stdout
    for name in filter(None, files.split("\0")):
        if os.path.isfile(name):
            os.makedirs(os.path.join(to, os.path.dirname(name)), exist_ok=True)
            shutil.copy(name, os.path.join(to, name))
    if with_git:
        shutil.copytree(".git", os.path.join(to, ".git"), symlinks=True)


@functools.lru_cache(maxsize=None)
def sbom_validator():
    return sbom_check.validator(work())


@functools.lru_cache(maxsize=None)
def prefix_template() -> str:
    """A Wine prefix made once, its server ended, for prefix() to copy."""
    path = os.path.join(work(), "prefix-template")
    run("sh", "scripts/wine-prefix.sh", "make", path, check=True, env=BOTH)
    run("sh", "scripts/wine-prefix.sh", "down", path, env=BOTH)
    return path


@contextlib.contextmanager
def prefix(name):
    """A fresh prefix of the Wine that runs both builds, its server ended afterwards."""
    path = os.path.join(work(), name)
    shutil.copytree(prefix_template(), path, symlinks=True)
    run("sh", "scripts/wine-prefix.sh", "up", path, env=BOTH)
    try:
        yield path
    finally:
        run("sh", "scripts/wine-prefix.sh", "down", path, env=BOTH)
