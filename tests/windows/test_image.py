"""The shipped executable's header, imports, manifest and version block, read
back from the file, for either architecture. CTest names the executable in
PORTCHECK_EXE, and its architecture, the lowest Windows version its header must
declare and its file version in PORTCHECK_IMAGE, and the start-up code alone,
linked the same way, in PORTCHECK_STARTUP; or an x86 program that plants a
frame-based handler in PORTCHECK_PLANTED."""
import os
import re
import subprocess
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

RT_MANIFEST = 24
EXPECTED_STRINGS = {
    "FileDescription": "Zelnar Port Check Utility",
    "Comments": "USB Port Check Utility for Zelnar class debug probes.",
    "Build Type": "Release build",
}
SETUPAPI = {"SetupDiGetClassDevsW", "SetupDiEnumDeviceInfo", "CM_Get_DevNode_Status",
            "CM_Get_Device_IDW", "SetupDiGetDeviceRegistryPropertyW", "SetupDiDestroyDeviceInfoList"}
# What the utility's own code imports, exactly, on both architectures; all
# else it imports must be what the toolchain's start-up code alone imports.
OWN = {"setupapi.dll": SETUPAPI, "kernel32.dll": {"GetVersionExW"},
       "msvcrt.dll": {"fputs", "fwprintf", "wcsstr", "wctomb"}}
# Every function it may import, by architecture: each one is known to be
# exported by the oldest system served (Windows XP on x86; XP x64 and Server
# 2003 on x64). A new import is a deliberate change, to be checked against
# those systems, whichever toolchain brings it.
SHARED_KERNEL32 = {"DeleteCriticalSection", "EnterCriticalSection", "GetLastError", "GetStartupInfoA",
                   "GetVersionExW", "InitializeCriticalSection", "LeaveCriticalSection",
                   "SetUnhandledExceptionFilter", "Sleep", "TlsGetValue", "VirtualProtect",
                   "VirtualQuery"}
SHARED_MSVCRT = {"__getmainargs", "__initenv", "__set_app_type", "__setusermatherr", "_amsg_exit",
                 "_cexit", "_initterm", "_onexit", "abort", "calloc", "exit", "fprintf", "fputs",
                 "free", "fwprintf", "fwrite", "malloc", "memcpy", "signal", "strlen", "strncmp",
                 "vfprintf", "wcsstr", "wctomb"}
# The header's mitigation flags, exactly, by architecture.
SHARED_DLL_CHARACTERISTICS = {"IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE", "IMAGE_DLLCHARACTERISTICS_NX_COMPAT",
                              "IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE"}
ARCHITECTURES = {
    "x64": {
        "machine": 0x8664,
        "dll characteristics": SHARED_DLL_CHARACTERISTICS | {"IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"},
        "kernel32.dll": SHARED_KERNEL32 | {"__C_specific_handler"},
        "msvcrt.dll": SHARED_MSVCRT | {"__iob_func", "_acmdln", "_commode", "_fmode"},
    },
    "x86": {
        "machine": 0x14C,
        "dll characteristics": SHARED_DLL_CHARACTERISTICS | {"IMAGE_DLLCHARACTERISTICS_NO_SEH"},
        # NO_SEH is a promise that no code puts a handler on the fs:[0] chain.
        "objdump": "i686-w64-mingw32-objdump",
        "kernel32.dll": SHARED_KERNEL32 | {"FreeLibrary", "GetModuleHandleA", "GetProcAddress",
                                           "LoadLibraryA"},
        "msvcrt.dll": SHARED_MSVCRT | {"__p__acmdln", "__p__commode", "__p__fmode", "_iob"},
    },
}


def header_problems(pe, arch, lowest, version):
    oh = pe.OPTIONAL_HEADER
    found = {
        "machine": hex(pe.FILE_HEADER.Machine),
        "subsystem": oh.Subsystem,
        "os version": (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion),
        "subsystem version": (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion),
        "time stamp": pe.FILE_HEADER.TimeDateStamp,
    }
    want = {"machine": hex(ARCHITECTURES[arch]["machine"]),
            "subsystem": pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"],
            "os version": lowest, "subsystem version": lowest, "time stamp": 0}
    problems = ["%s is %r, want %r" % (k, found[k], want[k]) for k in want if found[k] != want[k]]
    flags = {name for name, value in pefile.dll_characteristics if oh.DllCharacteristics & value}
    wanted_flags = ARCHITECTURES[arch]["dll characteristics"]
    if flags != wanted_flags:
        problems.append("DllCharacteristics %#x: %s missing, %s besides"
                        % (oh.DllCharacteristics, sorted(wanted_flags - flags), sorted(flags - wanted_flags)))
    writable_code = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"] | \
        pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
    for section in pe.sections:
        if section.Characteristics & writable_code == writable_code:
            problems.append("section %r is both writable and executable" % section.Name.rstrip(b"\0"))
    if oh.CheckSum != pe.generate_checksum():
        problems.append("header checksum %#x, want %#x" % (oh.CheckSum, pe.generate_checksum()))
    return problems


# Frame-based exception handling on x86: the runtime's handlers and unwinder,
# and a store to fs:[0], the head of the thread's handler chain.
FRAME_HANDLER_IMPORT = re.compile(r"^(_except_handler\d*|__CxxFrameHandler\d*|RtlUnwind)$")
FS0_STORE = re.compile(r"^\s*[0-9a-f]+:\s.*\t(mov|pop)\w*\s+(\S+,)?%fs:(0x0|0)\s*$")


def frame_handler_problems(pe, path, arch):
    objdump = ARCHITECTURES[arch].get("objdump")
    if objdump is None:
        return []
    problems = ["imports %s" % i.name.decode() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
                for i in e.imports if i.name and FRAME_HANDLER_IMPORT.match(i.name.decode())]
    code = subprocess.run([objdump, "-d", path], check=True, capture_output=True, text=True).stdout
    problems += ["writes fs:[0]: %s" % line.strip() for line in code.splitlines() if FS0_STORE.match(line)]
    return problems


def imported(pe) -> dict:
    return {e.dll.decode().lower(): {i.name.decode() for i in e.imports if i.name}
            for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}


def import_problems(pe, arch, startup):
    start_up = imported(startup)
    want = {dll: OWN.get(dll, set()) | start_up.get(dll, set()) for dll in set(OWN) | set(start_up)}
    exported = {"setupapi.dll": SETUPAPI, "kernel32.dll": ARCHITECTURES[arch]["kernel32.dll"],
                "msvcrt.dll": ARCHITECTURES[arch]["msvcrt.dll"]}
    imports = imported(pe)
    problems = ["%s: %s not known to be exported by the oldest Windows served"
                % (dll, sorted(names - exported.get(dll, set())))
                for dll, names in sorted(imports.items()) if names - exported.get(dll, set())]
    if set(imports) != set(want):
        problems.append("imports from %s, want exactly %s" % (sorted(imports), sorted(want)))
    for dll, names in want.items():
        got = imports.get(dll, set())
        if got != names:
            problems.append("%s: %s not imported, %s imported besides"
                            % (dll, sorted(names - got), sorted(got - names)))
    return problems


def manifest_problems(pe, arch, lowest, version):
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


def version_problems(pe, arch, lowest, version):
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return ["no version block"]
    fixed = pe.VS_FIXEDFILEINFO[0]
    problems = []
    numbers = [int(n) for n in version.split(".")]
    want = (numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3])
    for field in ("File", "Product"):
        got = (getattr(fixed, field + "VersionMS"), getattr(fixed, field + "VersionLS"))
        if got != want:
            problems.append("fixed %s version %x.%x, want %x.%x" % ((field,) + got + want))
    strings = {}
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    expected = dict(EXPECTED_STRINGS, FileVersion=version, ProductVersion=version)
    for key, value in expected.items():
        if strings.get(key) != value:
            problems.append("%s is %r, want %r" % (key, strings.get(key), value))
    return problems


def planted_handler_problems(path):
    """The check for frame-based handlers must see the one planted in path."""
    found = frame_handler_problems(pefile.PE(path), path, "x86")
    seen = ["import" if p.startswith("imports ") else "fs:[0] store" for p in found]
    return [] if sorted(set(seen)) == ["fs:[0] store", "import"] else [
        "planted handler not seen: found only %r" % found]


def image_problems(path, arch, lowest, version, startup) -> list:
    pe = pefile.PE(path)
    lowest = tuple(int(n) for n in lowest.split("."))
    return [problem for check in (header_problems, manifest_problems, version_problems)
            for problem in check(pe, arch, lowest, version)
            ] + import_problems(pe, arch, pefile.PE(startup)) + frame_handler_problems(pe, path, arch)


class Image(unittest.TestCase):
    def test_image(self):
        self.assertEqual(image_problems(os.environ["PORTCHECK_EXE"],
                                        *os.environ["PORTCHECK_IMAGE"].split(),
                                        os.environ["PORTCHECK_STARTUP"]), [])


class PlantedHandler(unittest.TestCase):
    def test_planted_handler_seen(self):
        self.assertEqual(planted_handler_problems(os.environ["PORTCHECK_PLANTED"]), [])
