"""The real executable against Wine's own SetupAPI, over device databases
written into a Wine prefix: stdout byte for byte, stderr empty, exit status.
CTest names the executable in PORTCHECK_EXE and the prefix in WINEPREFIX."""
import os
import subprocess
import tempfile
import unittest

from tests.support.wine_registry import (WINE, FIXTURE_ENUMERATORS, PORTS_CLASS as PORTS,
                           load_registry_file, registry_file)

USB = "{36FC9E60-C465-11CF-8056-444553540000}"

UNSUPPORTED = "CleanUp:  This utility is  designed to run on Windows XP/2003 and later\n"


def entry(name, port=None, generic=None):
    text = "Enumerated:  %s\n" % name
    if port is not None:
        text += "             Qel Port Address (Specific): 0x%x\n" % (port & 0xFFFFFFFF)
        text += "             Qel Port Address (Generic) : %d\n" % generic
    return text


def summary(count):
    return "\nFound %d Zelnar Debug Probe%s Connected\n" % (count, "" if count == 1 else "s")


EMU = "Zelnar Emulator CDC Serial Port"
DBG = "Zelnar Debug Probe"
LONG199 = DBG + " (COM9) " + "x" * (199 - len(DBG) - 8)
LONG200 = DBG + " (COM9) " + "x" * (200 - len(DBG) - 8)
assert len(LONG199) == 199 and len(LONG200) == 200

MIXED = [
    (r"ZTESTA\PORT_1\0000", PORTS, "Communications Port (COM1)"),
    (r"ZTESTA\PROBE_A\0000", PORTS, EMU + " (COM7)"),
    (r"ZTESTA\PROBE_B\0000", PORTS, DBG + " (COM12)"),
    (r"ZTESTA\PROBE_C\0000", PORTS, "USB " + DBG),
    (r"ZTESTA\PROBE_D\0000", PORTS, DBG + " (COM255)"),
    (r"ZTESTB\NONAME\0000", PORTS, None),
    (r"ZTESTB\OTHERCLASS\0000", USB, DBG + " (COM8)"),
]
MIXED_REPORT = (entry(EMU + " (COM7)", 7, 0) + entry(DBG + " (COM12)", 12, 1) + entry("USB " + DBG)
                + entry(DBG + " (COM255)", 255, 3) + summary(4))
ONE_PROBE = [(r"ZTESTA\PROBE\0000", PORTS, EMU + " (COM12)")]
ONE_REPORT = entry(EMU + " (COM12)", 12, 0) + summary(1)

# (title, Wine's version setting, devices, arguments, stdout, status)
CASES = [
    ("probes of both patterns among other devices", "win7", MIXED, [], MIXED_REPORT, 0),
    ("arguments change nothing", "win7", MIXED, ["/?", "--help", "*", "%s%n"], MIXED_REPORT, 0),
    ("no probe", "win7", MIXED[:1] + MIXED[5:], [], summary(0), 1),
    ("names of 199 and 200 characters", "win7",
     [(r"ZTESTA\LONG\0000", PORTS, LONG199), (r"ZTESTA\LONG\0001", PORTS, LONG200),
      (r"ZTESTA\LONG\0002", PORTS, DBG + " (COM-1) " + "z" * 400)],
     [], entry(LONG199, 9, 0) + summary(1), 0),
    ("characters the console cannot encode", "win7",
     [(r"ZTESTA\WIDE\0000", PORTS, DBG + " \u4e2d\u6587 (COM5)"),
      (r"ZTESTA\WIDE\0001", PORTS, DBG + " COMBO (COM4)"),
      (r"ZTESTA\WIDE\0002", PORTS, DBG + " (COM-1)")],
     [], entry(DBG + " ?? (COM5)", 5, 0) + entry(DBG + " COMBO (COM4)", 0, 1)
     + entry(DBG + " (COM-1)", -1, 2) + summary(3), 0),
    # Windows older than XP refuses the image before it runs (the image test
    # pins the header that makes it so). These stand for compatibility mode
    # on a supported Windows, whose version shims report the older version:
    # Wine's version setting plays the shim.
    ("compatibility mode for Windows 2000", "win2k", ONE_PROBE, [], UNSUPPORTED, 255),
    ("compatibility mode for Windows NT 4.0", "nt40", ONE_PROBE, [], UNSUPPORTED, 255),
    ("compatibility mode for Windows 98", "win98", ONE_PROBE, [], UNSUPPORTED, 255),
    ("compatibility mode for Windows 95", "win95", ONE_PROBE, [], UNSUPPORTED, 255),
    ("Windows XP", "winxp", ONE_PROBE, [], ONE_REPORT, 0),
    ("Windows Server 2003", "win2003", ONE_PROBE, [], ONE_REPORT, 0),
    ("Windows Vista", "vista", ONE_PROBE, [], ONE_REPORT, 0),
    ("Windows 7", "win7", ONE_PROBE, [], ONE_REPORT, 0),
    ("Windows 10", "win10", ONE_PROBE, [], ONE_REPORT, 0),
]


def case_problems(exe, env, title, work) -> list:
    """Runs the case of that title with the executable in the prefix env names."""
    _, version, devices, args, stdout, status = next(c for c in CASES if c[0] == title)
    load_registry_file(registry_file(FIXTURE_ENUMERATORS, devices, version), work, env)
    run = subprocess.run(WINE + [exe] + args, env=env, stdin=subprocess.DEVNULL,
                         capture_output=True)
    want = stdout.replace("\n", "\r\n").encode("ascii")
    return ([] if run.stdout == want else ["stdout %r, want %r" % (run.stdout, want)]) + \
        (["stderr %r" % run.stderr] if run.stderr else []) + \
        ([] if run.returncode == status else ["status %d, want %d" % (run.returncode, status)])


class EndToEnd(unittest.TestCase):
    def test_cases(self):
        env = dict(os.environ, WINEDEBUG="-all")
        with tempfile.TemporaryDirectory() as work:
            for case in CASES:
                with self.subTest(case[0]):
                    self.assertEqual(case_problems(os.environ["PORTCHECK_EXE"], env, case[0],
                                                   work), [])
