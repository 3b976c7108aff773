#!/usr/bin/python3
"""The batch-file examples of the release's README.txt, run by Wine's cmd
beside the real executable, against the demo devices (or under an older
Windows version, for the example that says so): what they print must be what
the README says. docs/using.md must show the same examples."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
from wine_registry import (WINE, FIXTURE_ENUMERATORS, load_registry_file, regedit,
                           registry_file)

from checks import report

README_TXT = os.path.join(TOP, "release", "README.txt.in")
README_MD = os.path.join(TOP, "docs", "using.md")
DEMO_DEVICES = os.path.join(TOP, "scripts", "demo-devices.reg")


def paragraphs(text):
    """(kind, lines) in order: "text" for a paragraph, "block" for an
    indented block with its indentation of two removed."""
    parts = []
    for line in text.splitlines():
        kind = "block" if line.startswith("  ") else "text" if line.strip() else None
        if kind is None:
            parts.append((None, []))
        elif parts and parts[-1][0] == kind:
            parts[-1][1].append(line[2:] if kind == "block" else line)
        else:
            parts.append((kind, [line[2:] if kind == "block" else line]))
    return [(kind, lines) for kind, lines in parts if kind]


def examples(text):
    """[(batch file, [(Wine's Windows version, what it prints)], intro)], where a
    paragraph that speaks of a batch file and ends in a colon introduces an
    example, and one ending in "it prints:" what the last one prints."""
    found = []
    parts = paragraphs(text)
    for (kind, lines), (next_kind, block) in zip(parts, parts[1:]):
        intro = " ".join(lines)
        if kind != "text" or next_kind != "block":
            continue
        if intro.endswith("it prints:") and found:
            version = "win2k" if "compatibility mode for Windows 2000" in intro else "win7"
            found[-1][1].append((version, "\n".join(block) + "\n"))
        elif re.search(r"in a batch file\b[^:]*:$", intro, re.IGNORECASE):
            found.append(("\n".join(block) + "\n", [], intro))
    return found


def run_example(number, batch, version, exe, work, env):
    load_registry_file(registry_file(FIXTURE_ENUMERATORS, [], version), work, env)
    regedit(DEMO_DEVICES, env)
    name = "example%d.bat" % number
    with open(os.path.join(work, name), "wb") as f:
        f.write(batch.replace("\n", "\r\n").encode("ascii"))
    return subprocess.run(WINE + ["cmd", "/c", name], cwd=work, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True)


def main():
    exe, prefix = sys.argv[1], sys.argv[2]
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    with open(README_TXT, encoding="ascii") as f:
        found = examples(f.read())
    with open(README_MD, encoding="utf-8") as f:
        markdown = f.read()
    results = [("README.txt has batch examples with their output",
                [] if len(found) >= 3 and all(outputs for _, outputs, _ in found)
                else ["found %r" % found])]
    with tempfile.TemporaryDirectory() as work:
        shutil.copy(exe, os.path.join(work, "portcheck.exe"))
        for number, (batch, outputs, intro) in enumerate(found, 1):
            title = "example %d (%s)" % (number, intro[:60])
            problems = [] if "```bat\n" + batch + "```" in markdown else [
                "docs/using.md does not show this example as it stands in README.txt"]
            for version, want in outputs:
                run = run_example(number, batch, version, exe, work, env)
                got = run.stdout.decode("ascii", "replace").replace("\r\n", "\n")
                if got != want or run.stderr:
                    problems.append("under %s it printed %r (stderr %r), README says %r"
                                    % (version, got, run.stderr, want))
            results.append((title, problems))
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
