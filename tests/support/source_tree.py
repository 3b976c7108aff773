"""A copy of the source tree as git sees it (tracked and untracked files, the
ignored ones left out), for tests that build a release from a copy, and the
release made in such a copy."""
import os
import subprocess


def copy_tree(to):
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], check=True,
                           capture_output=True).stdout.decode().split("\0")
    for name in filter(None, files):
        if os.path.isfile(name):
            os.makedirs(os.path.join(to, os.path.dirname(name)), exist_ok=True)
            with open(name, "rb") as source, open(os.path.join(to, name), "wb") as copy:
                copy.write(source.read())


def make_release(folder, env, *arguments):
    """Runs scripts/release.sh in the copy at folder; the dist/ folder it wrote."""
    made = subprocess.run(["sh", "scripts/release.sh", *arguments], cwd=folder, env=env,
                          check=True, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    return os.path.dirname(made.stdout.splitlines()[-1])
