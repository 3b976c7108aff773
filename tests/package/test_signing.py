"""Signing the release with a throwaway code-signing key, made here and thrown
away: the same zip signed twice gives the same bytes, osslsigncode verifies
both executables against the throwaway CA, the signed executables still pass
the image test and an end-to-end case under Wine, and verify-release.sh
accepts the signed and the unsigned zip but refuses a tampered one and the
hostile downloads of hostile_zips.py."""
import os
import shutil
import subprocess
import unittest

import olefile

from tests.support import hostile_zips
from tests.support import sbom_check
from tests.support import shared_release
from tests.support.shared_release import BOTH, run
from release.package_facts import ARCHITECTURES
from release.zip_reading import read_zip
from release.zip_layout import EXECUTABLES, checksums
from tests.windows import test_end_to_end
from tests.windows import test_image

E2E_CASE = "probes of both patterns among other devices"
OPENSSL_CONFIG = """[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign
[signer]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
"""
SUBJECT = "/O=Throwaway Test Signer/CN=Zelnar Port Check Test Signing"


def make_key(work):
    """A throwaway CA and a code-signing certificate from it, in a PKCS#12
    file whose password is read from a file; the osslsigncode options."""
    path = lambda name: os.path.join(work, name)
    with open(path("openssl.cnf"), "w") as f:
        f.write(OPENSSL_CONFIG)
    with open(path("password"), "w") as f:
        f.write("throwaway")
    common = ["-config", path("openssl.cnf"), "-days", "30"]
    steps = [
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("ca.key"),
         "-out", path("ca.pem"), "-subj", "/CN=Throwaway Test CA", "-extensions", "ca"] + common,
        ["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", path("signer.key"),
         "-out", path("signer.csr"), "-subj", SUBJECT] + common[:2],
        ["openssl", "x509", "-req", "-in", path("signer.csr"), "-CA", path("ca.pem"), "-CAkey",
         path("ca.key"), "-set_serial", "1", "-days", "30", "-out", path("signer.pem"),
         "-extfile", path("openssl.cnf"), "-extensions", "signer"],
        ["openssl", "pkcs12", "-export", "-inkey", path("signer.key"), "-in", path("signer.pem"),
         "-certfile", path("ca.pem"), "-passout", "file:" + path("password"),
         "-out", path("signer.p12")],
    ]
    for step in steps:
        run(*step, check=True)
    return ["-pkcs12", path("signer.p12"), "-readpass", path("password")], path("ca.pem")


def sign(zip_path, key):
    """(status, the signed zip's bytes or None, what it said, {name: bytes} of
    every file it wrote, which are then removed)."""
    folder = os.path.dirname(zip_path)
    before = set(os.listdir(folder))
    done = run("sh", "scripts/sign-release.sh", zip_path, *key)
    written = {}
    for name in sorted(set(os.listdir(folder)) - before):
        with open(os.path.join(folder, name), "rb") as f:
            written[name] = f.read()
        os.unlink(os.path.join(folder, name))
    data = written.get(os.path.basename(zip_path)[:-4] + "-signed.zip")
    return done.returncode, data if done.returncode == 0 else None, done.stdout + done.stderr, \
        written


def signing_problems(work, unsigned, key):
    """Signs twice; the signed zip is left at work/signed.zip, the signed
    packages in work/signed-msi/."""
    status, first, said, first_set = sign(unsigned, key)
    if first is None:
        return ["sign-release.sh failed (%d): %s" % (status, said)]
    _, second, _, second_set = sign(unsigned, key)
    with open(os.path.join(work, "signed.zip"), "wb") as f:
        f.write(first)
    os.makedirs(os.path.join(work, "signed-msi"))
    for name, data in first_set.items():
        with open(os.path.join(work, "signed-msi", name), "wb") as f:
            f.write(data)
    problems = [] if first_set == second_set else ["signing the same release twice gave "
                                                   "different bytes"]
    names = sorted(name for name in first_set if name.endswith("-signed.msi"))
    if len(names) != 2:
        problems.append("want two signed MSIs, got %s" % sorted(first_set))
    sbom = [name for name in first_set if name.endswith(".cdx.json")]
    signed_files = read_zip(os.path.join(work, "signed.zip")).files
    problems += ["the signed set's SBOM: " + p for p in sbom_check.problems(
        shared_release.sbom_validator(), first_set[sbom[0]].decode("utf-8"),
        dict(first_set, **signed_files))] if sbom else ["no SBOM for the signed set"]
    files = read_zip(os.path.join(work, "signed.zip")).files
    original = read_zip(unsigned).files
    if files["README.txt"] != original["README.txt"] or files["SHA256SUMS"] != checksums(files):
        problems.append("README.txt changed, or SHA256SUMS does not match the signed files")
    return problems


def signed_executable_problems(work, ca, prefix):
    files = read_zip(os.path.join(work, "signed.zip")).files
    problems = []
    packages = [os.path.join(work, "signed-msi", name)
                for name in sorted(os.listdir(os.path.join(work, "signed-msi")))
                if name.endswith(".msi")]
    for name in EXECUTABLES:
        exe = os.path.join(work, name.replace("/", "-"))
        with open(exe, "wb") as f:
            f.write(files[name])
        preset = ARCHITECTURES[name.split("/")[0]].preset
        with open(os.path.join("build", preset, "image_test_arguments.txt")) as f:
            problems += ["%s, signed: %s" % (name, p) for p in test_image.image_problems(
                exe, *f.read().split(), os.path.join("build", preset, "tests", "startup_only.exe"))]
        problems += ["%s, signed: %s" % (name, p) for p in test_end_to_end.case_problems(
            exe, dict(BOTH, WINEPREFIX=prefix, WINEDEBUG="-all"), E2E_CASE, work)]
    for path in packages + [os.path.join(work, n.replace("/", "-")) for n in EXECUTABLES]:
        verified = run("osslsigncode", "verify", "-CAfile", ca, "-in", path)
        if verified.returncode != 0:
            problems.append("osslsigncode verify refused %s:\n%s" % (path, verified.stdout))
    return problems


def previous_release(work):
    """A genuine release of this checkout's parent commit, and one with its
    licence replaced and SHA256SUMS made to match."""
    clone = os.path.join(work, "parent commit")
    run("git", "clone", "-q", ".", clone, check=True)
    run("git", "-C", clone, "checkout", "-q", "HEAD~1", check=True)
    genuine = shared_release.make_release(clone, clone)
    genuine = next(path for name, path in genuine.items() if name.endswith("-windows.zip"))
    tampered = os.path.join(work, "parent-tampered.zip")
    with open(tampered, "wb") as f:
        f.write(hostile_zips.release(genuine, {"LICENSE.txt": b"All rights reserved.\r\n"}))
    return genuine, tampered


def verify_problems(work, unsigned, genuine, tampered):
    """The signed zip saved into the checkout, as a download often is, against
    a fresh build of this checkout; the genuine release of the parent commit
    against a build of that commit, which must leave the checkout as it was;
    and a tampered release of that commit against the genuine one."""
    def state():
        listing = run("git", "--no-optional-locks", "status", "--porcelain", "--ignored").stdout
        return listing, os.stat(".git/index").st_mtime_ns if os.path.exists(".git/index") else 0
    problems = []
    before = state()
    saved = "saved download.zip"
    cases = [  # (arguments, status, text it must print)
        ([saved], 0, "x86/portcheck.exe: signed; the signature covers exactly this checkout's "
                     "build"),
        ([unsigned, unsigned], 0, "x64/portcheck.exe: unsigned; identical"),
        (["--commit", "HEAD~1", genuine], 0, "VERIFIED: every byte is what commit"),
        ([tampered, genuine], 1, "LICENSE.txt differs from"),
    ]
    shutil.copy(os.path.join(work, "signed.zip"), saved)
    try:
        for arguments, status, text in cases:
            done = run("sh", "scripts/verify-release.sh", *arguments)
            if done.returncode != status or text not in done.stdout:
                problems.append("verify-release.sh %s: status %d, want %d, with %r in:\n%s" % (
                    " ".join(arguments), done.returncode, status, text,
                    done.stdout + done.stderr))
    finally:
        os.unlink(saved)
    if state() != before:
        problems.append("verify-release.sh changed the checkout: %r, then %r" % (before, state()))
    return problems


def impostor(work, unsigned):
    """The release signed by a self-signed certificate that calls itself the
    official signer."""
    path = lambda name: os.path.join(work, name)
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("fake.key"),
        "-out", path("fake.pem"), "-subj", "/CN=Zelnar Official Release Signing", "-days", "30",
        "-config", path("openssl.cnf"), "-extensions", "signer", check=True)
    copy = path("impostor.zip")
    shutil.copy(unsigned, copy)
    status, data, said, _ = sign(copy, ["-certs", path("fake.pem"), "-key", path("fake.key")])
    if data is None:
        raise RuntimeError("could not sign as the impostor (%d): %s" % (status, said))
    return data


def refusal_problems(work, unsigned, key):
    problems = []
    with open(os.path.join(work, "not-a-zip.zip"), "w") as f:
        f.write("text")
    existing = os.path.join(work, "existing.zip")
    shutil.copy(unsigned, existing)
    with open(os.path.join(work, "existing-signed.zip"), "w") as f:
        f.write("signed before, with a timestamp")
    cases = [(os.path.join(work, "signed.zip"), key, "already signed"),
             (os.path.join(work, "not-a-zip.zip"), key, "not a zip file"),
             (unsigned, key[:2] + ["-pass", "wrong"], "could not sign"),
             (existing, key, "exists already")]
    for zip_path, options, text in cases:
        before = sorted(os.listdir(work))
        done = run("sh", "scripts/sign-release.sh", zip_path, *options)
        if done.returncode == 0 or text not in done.stderr or sorted(os.listdir(work)) != before:
            problems.append("sign-release.sh %s: status %d, files %s, said %r; want a failure, "
                            "no file written, and %r" % (os.path.basename(zip_path), done.returncode,
                                                         sorted(os.listdir(work)), done.stderr, text))
    with open(os.path.join(work, "existing-signed.zip")) as f:
        if f.read() != "signed before, with a timestamp":
            problems.append("sign-release.sh overwrote an existing signed zip")
    return problems


def osslsigncode_versions(work):
    """{version: a folder whose osslsigncode is that version}: the one this
    machine's Debian release ships and the one its backports ship, if any,
    fetched as .debs and unpacked, never installed."""
    found = {}
    for suffix in ("", "-backports"):
        folder = os.path.join(work, "osslsigncode" + suffix)
        done = run("sh", "-c", '. scripts/common.sh; fetch_deb osslsigncode "$(debian_suite)$1" '
                   '"$2"', "sh", suffix, folder)
        if done.returncode != 0:
            if suffix and any(words in done.stderr for words in (
                    "was not found", "Unable to locate package", "no candidate")):
                continue  # this release's backports ship none
            raise RuntimeError("osslsigncode%s could not be fetched:\n%s" % (suffix, done.stderr))
        run("dpkg-deb", "-x", done.stdout.strip(), folder, check=True)
        tool = os.path.join(folder, "usr", "bin")
        version = run(os.path.join(tool, "osslsigncode"), "--version").stdout.split()[1].rstrip(",")
        found[version] = tool
    return found


def pairing_problems(work, unsigned, key, ca):
    """Signed with each version, checked with each: the zip and both packages
    VERIFIED, their CA named."""
    problems = []
    versions = osslsigncode_versions(work)
    with_tool = lambda tool: dict(os.environ, PATH=tool + os.pathsep + os.environ["PATH"])
    for signer, signer_tool in versions.items():
        folder = os.path.join(work, "signed by osslsigncode " + signer)
        os.makedirs(folder)
        copy = shutil.copy(unsigned, folder)
        done = run("sh", "scripts/sign-release.sh", copy, *key, env=with_tool(signer_tool))
        if done.returncode != 0:
            problems.append("osslsigncode %s could not sign: %s" % (signer, done.stderr))
            continue
        signed = sorted(os.path.join(folder, n) for n in os.listdir(folder)
                        if n.endswith(("-signed.zip", "-signed.msi")))
        if len(signed) != 3:
            problems.append("osslsigncode %s signed %s" % (signer, signed))
        for checker, checker_tool in versions.items():
            for path in signed:
                done = run("sh", "scripts/verify-release.sh", "--ca-file", ca, path, unsigned,
                           env=with_tool(checker_tool))
                if done.returncode != 0 or "\nVERIFIED: " not in done.stdout:
                    problems.append("signed with %s, checked with %s: %s is not VERIFIED:\n%s" % (
                        signer, checker, os.path.basename(path), done.stdout + done.stderr))
    return problems if len(versions) > 0 else ["no osslsigncode was fetched"]


SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"
PIN = "1234"


def hsm_problems(work, unsigned, ca):
    """The release signed through SoftHSM's PKCS#11 module as docs/releasing.md
    shows, its PIN on standard input (-readpass -, read once for four
    signatures): the zip and both packages VERIFIED."""
    folder = os.path.join(work, "signed in a token")
    os.makedirs(os.path.join(folder, "tokens"))
    config = os.path.join(folder, "softhsm2.conf")
    with open(config, "w") as f:
        f.write("directories.tokendir = %s\nobjectstore.backend = file\n"
                % os.path.join(folder, "tokens"))
    env = dict(os.environ, SOFTHSM2_CONF=config)
    key, chain = os.path.join(folder, "key.p8"), os.path.join(folder, "chain.pem")
    for step in (["softhsm2-util", "--init-token", "--free", "--label", "CodeSigning", "--pin",
                  PIN, "--so-pin", "5678"],
                 ["openssl", "pkcs8", "-topk8", "-nocrypt", "-in",
                  os.path.join(work, "signer.key"), "-out", key],
                 ["softhsm2-util", "--import", key, "--token", "CodeSigning", "--label",
                  "signing-key", "--id", "01", "--pin", PIN]):
        run(*step, env=env, check=True)
    with open(chain, "wb") as f:
        for name in ("signer.pem", "ca.pem"):
            with open(os.path.join(work, name), "rb") as part:
                f.write(part.read())
    copy = shutil.copy(unsigned, folder)
    done = subprocess.run(["sh", "scripts/sign-release.sh", copy, "-pkcs11module",
                           SOFTHSM_MODULE, "-key", "pkcs11:token=CodeSigning;object=signing-key",
                           "-certs", chain, "-readpass", "-"], input=PIN, env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        return ["sign-release.sh through SoftHSM failed (%d): %s" % (done.returncode,
                                                                   done.stderr)]
    problems = []
    signed = sorted(os.path.join(folder, n) for n in os.listdir(folder)
                    if n.endswith(("-signed.zip", "-signed.msi")))
    for path in signed:
        checked = run("sh", "scripts/verify-release.sh", "--ca-file", ca, path, unsigned)
        if checked.returncode != 0 or "\nVERIFIED: " not in checked.stdout:
            problems.append("signed through SoftHSM, %s is not VERIFIED:\n%s" % (
                os.path.basename(path), checked.stdout + checked.stderr))
    return problems if len(signed) == 3 else problems + ["SoftHSM signed %s" % signed]


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = os.path.join(shared_release.work(), "signing")
        os.makedirs(cls.work)
        cls.key, cls.ca = make_key(cls.work)
        cls.unsigned = os.path.join(cls.work, "unsigned.zip")
        shutil.copy(shared_release.zip_path(), cls.unsigned)
        cls.signing = signing_problems(cls.work, cls.unsigned, cls.key)
        cls.signed = os.path.join(cls.work, "signed.zip")
        cls.genuine, cls.tampered = previous_release(cls.work)

    def setUp(self):
        self.assertEqual(self.signing, [])

    def test_signed_executables(self):
        with shared_release.prefix("prefix-signed") as prefix:
            self.assertEqual(signed_executable_problems(self.work, self.ca, prefix), [])

    def test_verify_release(self):
        self.assertEqual(verify_problems(self.work, self.unsigned, self.genuine, self.tampered),
                         [])

    def test_hostile_downloads(self):
        for title, path, problem in hostile_zips.verdicts(
                self.work, self.unsigned, self.signed, os.path.join(self.work, "signed-msi"),
                self.key, impostor(self.work, self.unsigned), self.genuine):
            with self.subTest(title):
                self.assertIsNone(problem)

    def test_osslsigncode_pairings(self):
        self.assertEqual(pairing_problems(self.work, self.unsigned, self.key, self.ca), [])

    def test_signed_in_a_token(self):
        self.assertEqual(hsm_problems(self.work, self.unsigned, self.ca), [])

    def test_extended_package_signature(self):
        """A package signed with an extended signature (MsiDigitalSignatureEx,
        osslsigncode -add-msi-dse) is judged acceptable, and refused once a
        byte of that stream is changed (a signer digests its bytes first) or
        once a stream is renamed (that stream holds a digest of every entry's name)."""
        unsigned = next(path for name, path in shared_release.release().items()
                        if name.endswith("-x64.msi"))
        extended = os.path.join(self.work, "extended.msi")
        run("osslsigncode", "sign", *self.key, "-add-msi-dse", "-in", unsigned, "-out", extended,
            check=True)
        with open(extended, "rb") as f:
            data = f.read()
        with olefile.OleFileIO(extended) as package:
            at = data.index(package.openstream("\x05MsiDigitalSignatureEx").read())
        changed = os.path.join(self.work, "extended-changed.msi")
        with open(changed, "wb") as f:
            f.write(data[:at] + bytes([data[at] ^ 1]) + data[at + 1:])
        summary = "\x05SummaryInformation".encode("utf-16-le")
        self.assertEqual(data.count(summary), 1)  # its directory entry's name
        renamed = os.path.join(self.work, "extended-renamed.msi")
        with open(renamed, "wb") as f:
            f.write(data.replace(summary, "\x05SummaryInformatioN".encode("utf-16-le")))
        for path, status, words in ((extended, 0, "extended.msi: ACCEPTABLE"),
                                    (changed, 1, "the digest it signs is not this file's"),
                                    (renamed, 1, "extended-renamed.msi: REFUSED: the names, "
                                     "class IDs, state bits, times or sizes of its streams and "
                                     "storages are not those its extended signature "
                                     "(MsiDigitalSignatureEx) records\n")):
            # Under the hostile table's memory bound: a package's reader holds no stream whole.
            done = run("sh", "scripts/check-signature.sh", "--ca-file", self.ca, path,
                       preexec_fn=hostile_zips.limited)
            self.assertEqual(done.returncode, status, done.stdout + done.stderr)
            self.assertIn(words, done.stdout)

    def test_sign_release_refusals(self):
        self.assertEqual(refusal_problems(self.work, self.unsigned, self.key), [])
