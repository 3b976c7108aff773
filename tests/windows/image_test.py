#!/usr/bin/python3
"""The shipped executable's header, imports, manifest and version block, read
back from the file."""
import sys
import xml.etree.ElementTree as ElementTree

import pefile

RT_MANIFEST = 24
EXPECTED_STRINGS = {
    "FileVersion": "1.0.0.0",
    "FileDescription": "Zelnar Port Check Utility",
    "Comments": "USB Port Check Utility for Zelnar class debug probes.",
    "Build Type": "Release build",
}
EXPECTED_IMPORTS = {
    "kernel32.dll": {"GetVersionExW"},
    "setupapi.dll": {"SetupDiGetClassDevsW", "SetupDiEnumDeviceInfo", "CM_Get_DevNode_Status",
                     "CM_Get_Device_IDW", "SetupDiGetDeviceRegistryPropertyW",
                     "SetupDiDestroyDeviceInfoList"},
    "msvcrt.dll": {"fwprintf", "fprintf"},
}


def header_problems(pe):
    oh = pe.OPTIONAL_HEADER
    found = {
        "machine": hex(pe.FILE_HEADER.Machine),
        "subsystem": oh.Subsystem,
        "os version": (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion),
        "subsystem version": (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion),
    }
    want = {"machine": hex(0x8664), "subsystem": pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"],
            "os version": (5, 2), "subsystem version": (5, 2)}
    return ["%s is %r, want %r" % (k, found[k], want[k]) for k in want if found[k] != want[k]]


def import_problems(pe):
    imports = {e.dll.decode().lower(): {i.name.decode() for i in e.imports if i.name}
               for e in pe.DIRECTORY_ENTRY_IMPORT}
    problems = []
    if set(imports) != set(EXPECTED_IMPORTS):
        problems.append("imports from %s, want exactly %s" % (sorted(imports), sorted(EXPECTED_IMPORTS)))
    for dll, names in EXPECTED_IMPORTS.items():
        missing = names - imports.get(dll, set())
        if missing:
            problems.append("%s: %s not imported" % (dll, sorted(missing)))
    return problems


def manifest_problems(pe):
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return ["no resources"]
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != RT_MANIFEST:
            continue
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                text = pe.get_data(data.OffsetToData, data.Size)
                levels = [e for e in ElementTree.fromstring(text).iter()
                          if e.tag.endswith("}requestedExecutionLevel")]
                if name.id != 1:
                    return ["manifest resource id %r, want 1" % name.id]
                if len(levels) != 1:
                    return ["%d requestedExecutionLevel elements, want 1" % len(levels)]
                got = (levels[0].get("level"), levels[0].get("uiAccess"))
                return [] if got == ("asInvoker", "false") else ["execution level %r" % (got,)]
    return ["no manifest resource"]


def version_problems(pe):
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return ["no version block"]
    fixed = pe.VS_FIXEDFILEINFO[0]
    problems = []
    if (fixed.FileVersionMS, fixed.FileVersionLS) != (0x00010000, 0):
        problems.append("fixed file version %x.%x" % (fixed.FileVersionMS, fixed.FileVersionLS))
    strings = {}
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    for key, value in EXPECTED_STRINGS.items():
        if strings.get(key) != value:
            problems.append("%s is %r, want %r" % (key, strings.get(key), value))
    return problems


def main():
    pe = pefile.PE(sys.argv[1])
    checks = [header_problems, import_problems, manifest_problems, version_problems]
    failed = 0
    for check in checks:
        problems = check(pe)
        if problems:
            failed += 1
            print("FAILED %s:\n  %s" % (check.__name__, "\n  ".join(problems)))
    print("%d passed, %d failed" % (len(checks) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
