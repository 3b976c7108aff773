#!/usr/bin/python3
"""What the linker's map says it took from the runtimes, by owner (import
stubs by library). `notices` writes the release's notices from
THIRD-PARTY-NOTICES.txt.in with it and the runtimes' versions, so neither they
nor the SBOM can drift from what is linked; `check` exits 1 when a notices
text does not hold it word for word."""
import os
import re
import sys
import textwrap

if __package__ in (None, ""):  # started as a file: the packages lie at the checkout's top
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from release.build_info import packages
from release.safe_output import write_output

TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "THIRD-PARTY-NOTICES.txt.in")

# mingw-w64's code members are named lib32_/lib64_<library>_a-<source>.o;
# import stubs <library>s00123.o, <library>h.o, <library>t.o, or, for GCC's
# DLL import library, <dll>_d000123.o.
CODE_MEMBER = re.compile(r"lib(?:32|64)_\w+?_a-(.+)\.o")
IMPORT_STUB = re.compile(r"lib\w+(?:s\d+|h|t)\.o|\w+_d\d{6}\.o")
ARCHIVE_MEMBER = re.compile(r"(/\S+\.a)\((\S+\.o)\)")


def owner(path: str) -> str:
    return "libgcc" if "/lib/gcc/" in os.path.normpath(path) else "mingw-w64 runtime"


def measure(map_text: str) -> dict:
    """{owner: {"objects": set, "members": {library: set}, "imports": set}}."""
    record = {}
    entry = lambda path: record.setdefault(owner(path), {
        "objects": set(), "members": {}, "imports": set()})
    section = map_text.split("Archive member included to satisfy reference by file (symbol)")
    members = section[1].split("\n\n")[1] if len(section) > 1 else ""
    for path, member in ARCHIVE_MEMBER.findall(members):
        library = os.path.basename(path)
        code = CODE_MEMBER.fullmatch(member)
        if code:
            entry(path)["members"].setdefault(library, set()).add(code.group(1))
        elif IMPORT_STUB.fullmatch(member):
            entry(path)["imports"].add(library)
        else:
            entry(path)["members"].setdefault(library, set()).add(member[:-2])
    for line in map_text.splitlines():
        if line.startswith("LOAD /") and line.endswith(".o"):
            entry(line[5:])["objects"].add(os.path.basename(line[5:]))
    return record


def render(architecture: str, record: dict) -> str:
    lines = ["Linked into %s/portcheck.exe, as the linker recorded it:" % architecture]
    for name in sorted(record):
        parts = sorted(record[name]["objects"])
        parts += ["%s(%s)" % (library, " ".join(sorted(members)))
                  for library, members in sorted(record[name]["members"].items())]
        if record[name]["imports"]:
            parts.append("import entries from %s" % " ".join(sorted(record[name]["imports"])))
        lines += textwrap.wrap("%s: %s" % (name, "; ".join(parts)), 76, initial_indent="  ",
                               subsequent_indent="    ", break_on_hyphens=False)
    return "\n".join(lines) + "\n"


def runtime_versions(map_text: str) -> dict:
    """{owner: the upstream version of the package that holds its first
    object the linker loaded}: mingw-w64's from crt2.o, GCC's from crtbegin.o."""
    found = {}
    for line in map_text.splitlines():
        if line.startswith("LOAD /") and line.endswith(".o") and owner(line[5:]) not in found:
            owned = packages([line[5:]])[0]
            # "12.2.0-14+deb12u1+25.2+b1" and "1:10.0.0-3": the part before the revision.
            found[owner(line[5:])] = owned.partition(" ")[2].split(":", 1)[-1].split("-", 1)[0]
    return found


def notices(maps: list) -> str:
    """The notices for [(architecture, map text)], or ValueError when the
    architectures were built with different runtime versions."""
    versions = {architecture: runtime_versions(text) for architecture, text in maps}
    first = versions[maps[0][0]]
    if any(v != first for v in versions.values()) or len(first) != 2:
        raise ValueError("the builds' runtimes are not of one version each: %r" % versions)
    with open(TEMPLATE, encoding="utf-8") as f:
        text = f.read()
    return text.replace("@MINGW_W64_VERSION@", first["mingw-w64 runtime"]).replace(
        "@GCC_VERSION@", first["libgcc"]).replace("@LINKED@\n", "\n".join(
            render(architecture, measure(map_text)) for architecture, map_text in maps))


def parse_notices(text: str) -> dict:
    """{architecture: {owner: its parts as one line}} of the notices' blocks."""
    found, architecture, owner = {}, None, None
    for line in text.replace("\r\n", "\n").splitlines():
        heading = re.fullmatch(r"Linked into (\w+)/portcheck\.exe, as the linker recorded it:",
                               line)
        if heading:
            architecture = heading.group(1)
            found[architecture] = {}
        elif architecture and line.startswith("    ") and owner:
            found[architecture][owner] += " " + line.strip()
        elif architecture and line.startswith("  ") and ": " in line:
            owner, parts = line.strip().split(": ", 1)
            found[architecture][owner] = parts
        else:
            architecture = owner = None
    return found


def main(arguments: list) -> int:
    if len(arguments) < 4 or arguments[0] not in ("check", "notices") or len(arguments) % 2:
        print("usage: linked_runtime.py check NOTICES ARCH MAP [ARCH MAP]...\n"
              "       linked_runtime.py notices OUT ARCH MAP [ARCH MAP]...", file=sys.stderr)
        return 2
    maps = []
    for architecture, map_path in zip(arguments[2::2], arguments[3::2]):
        with open(map_path, encoding="utf-8", errors="replace") as f:
            maps.append((architecture, f.read()))
    if arguments[0] == "notices":
        try:
            write_output(arguments[1], notices(maps).encode("ascii"))
        except ValueError as error:
            print("release: %s" % error, file=sys.stderr)
            return 1
        return 0
    with open(arguments[1], encoding="utf-8") as f:
        given = f.read()
    drifted = 0
    for architecture, map_text in maps:
        stated = render(architecture, measure(map_text))
        if stated not in given:
            drifted += 1
            print("release: %s does not state what the linker put into %s/portcheck.exe; "
                  "it must hold, word for word:\n%s" % (os.path.basename(arguments[1]),
                                                        architecture, stated), file=sys.stderr)
    return 1 if drifted else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
