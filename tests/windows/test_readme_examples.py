"""The batch-file examples of the release's README.txt, run by Wine's cmd
beside the real executable, against the demo devices (or under an older
Windows version, for the example that says so): what they print must be what
the README says. docs/using.md must show the same examples. CTest names the
executable in PORTCHECK_EXE and the prefix in WINEPREFIX."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
from tests.support.wine_registry import (WINE, FIXTURE_ENUMERATORS, load_registry_file, regedit,
                           registry_file)

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


def run_example(number, batch, version, work, env):
    load_registry_file(registry_file(FIXTURE_ENUMERATORS, [], version), work, env)
    regedit(DEMO_DEVICES, env)
    name = "example%d.bat" % number
    with open(os.path.join(work, name), "wb") as f:
        f.write(batch.replace("\n", "\r\n").encode("ascii"))
    return subprocess.run(WINE + ["cmd", "/c", name], cwd=work, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True)


class ReadmeExamples(unittest.TestCase):
    def test_examples(self):
        env = dict(os.environ, WINEDEBUG="-all")
        with open(README_TXT, encoding="ascii") as f:
            found = examples(f.read())
        with open(README_MD, encoding="utf-8") as f:
            markdown = f.read()
        self.assertGreaterEqual(len(found), 3)
        with tempfile.TemporaryDirectory() as work:
            shutil.copy(os.environ["PORTCHECK_EXE"], os.path.join(work, "portcheck.exe"))
            for number, (batch, outputs, intro) in enumerate(found, 1):
                with self.subTest("example %d (%s)" % (number, intro[:60])):
                    self.assertIn("```bat\n" + batch + "```", markdown,
                                  "docs/using.md does not show this example as in README.txt")
                    self.assertTrue(outputs, "no output shown for it")
                    for version, want in outputs:
                        run = run_example(number, batch, version, work, env)
                        self.assertEqual((run.stdout.decode("ascii", "replace")
                                          .replace("\r\n", "\n"), run.stderr), (want, b""),
                                         "under " + version)
