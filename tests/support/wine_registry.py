"""Device databases for Wine prefixes: .reg files that replace the devices
under given enumerators of HKLM\\System\\CurrentControlSet\\Enum."""
import os
import subprocess
import sys

# Wine, with the loader this machine can start (scripts/wine.sh).
WINE = ["sh", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                           "wine.sh")]

PORTS_CLASS = "{4D36E978-E325-11CE-BFC1-08002BE10318}"
ENUM = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum"
# The enumerators that the tests' device databases and the demo's own use; a
# test that shares a prefix with others replaces all of them.
FIXTURE_ENUMERATORS = ("ZTESTA", "ZTESTB", "DEMO")


def reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def registry_file(enumerators, devices, version=None):
    """A .reg file (UTF-16LE: any character can stand in a name) that deletes
    the enumerators' keys, then writes the devices (key below Enum, class
    GUID, friendly name or None); version is Wine's ("winxp", "win7", ...)."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    lines += ["[-%s\\%s]" % (ENUM, e) for e in enumerators]
    lines.append("")
    if version is not None:
        lines += [r"[HKEY_CURRENT_USER\Software\Wine]", '"Version"=' + reg_string(version), ""]
    for key, guid, name in devices:
        lines.append("[%s\\%s]" % (ENUM, key))
        lines.append('"ClassGUID"=' + reg_string(guid))
        if name is not None:
            lines.append('"FriendlyName"=' + reg_string(name))
        lines.append("")
    return ("\ufeff" + "\r\n".join(lines) + "\r\n").encode("utf-16-le")


def load_registry_file(contents, work, env):
    path = os.path.join(work, "devices.reg")
    with open(path, "wb") as f:
        f.write(contents)
    regedit(path, env)


def regedit(path, env):
    run = subprocess.run(WINE + ["regedit", "/S", path], env=env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if run.returncode != 0:
        print(run.stdout.decode("ascii", "replace"))
        sys.exit("regedit could not load %s (status %d)" % (path, run.returncode))
