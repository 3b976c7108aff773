#!/usr/bin/python3
"""Signing a release with a throwaway code-signing key, made here and thrown
away: the same zip signed twice gives the same bytes, osslsigncode verifies
both executables against the throwaway CA, the signed executables still pass
the image test and an end-to-end case under Wine, and verify-release.sh
accepts the signed and the unsigned zip but refuses a tampered one. Run from
the top of the source tree, after the windows and windows-x86 builds."""
import os
import shutil
import subprocess
import sys
import tempfile

from checks import report

from untrusted import read_zip
from zip_layout import EXECUTABLES, checksums
import hostile_zips
import sbom_check

BUILDS = {"x64/portcheck.exe": "build/windows", "x86/portcheck.exe": "build/windows-x86"}
E2E_CASE = "probes of both patterns among other devices"
# Both executables run in one prefix, of the Wine that runs 32-bit programs too.
BOTH = dict(os.environ, PORTCHECK_WINE_ARCH="x86")
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
SIGNER = "CN=Zelnar Port Check Test Signing,O=Throwaway Test Signer"


def run(*command, **options):
    return subprocess.run(list(command), capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          **options)


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
    _, signed_files, _, _ = read_zip(os.path.join(work, "signed.zip"))
    problems += ["the signed set's SBOM: " + p for p in sbom_check.problems(
        sbom_check.validator(work), first_set[sbom[0]].decode("utf-8"),
        dict(first_set, **signed_files))] if sbom else ["no SBOM for the signed set"]
    _, files, _, _ = read_zip(os.path.join(work, "signed.zip"))
    _, original, _, _ = read_zip(unsigned)
    if files["README.txt"] != original["README.txt"] or files["SHA256SUMS"] != checksums(files):
        problems.append("README.txt changed, or SHA256SUMS does not match the signed files")
    return problems


def signed_executable_problems(work, ca, prefix):
    _, files, _, _ = read_zip(os.path.join(work, "signed.zip"))
    problems = []
    for package in sorted(os.listdir(os.path.join(work, "signed-msi"))):
        if package.endswith(".msi"):
            verified = run("osslsigncode", "verify", "-CAfile", ca, "-in",
                           os.path.join(work, "signed-msi", package))
            if verified.returncode != 0:
                problems.append("osslsigncode verify refused %s:\n%s" % (package, verified.stdout))
    for name in EXECUTABLES:
        exe = os.path.join(work, name.replace("/", "-"))
        with open(exe, "wb") as f:
            f.write(files[name])
        verified = run("osslsigncode", "verify", "-CAfile", ca, "-in", exe)
        if verified.returncode != 0:
            problems.append("osslsigncode verify refused %s:\n%s" % (name, verified.stdout))
        with open(os.path.join(BUILDS[name], "image_test_arguments.txt")) as f:
            arguments = f.read().split()
        for test in (["tests/windows/image_test.py", exe] + arguments,
                     ["tests/windows/end_to_end_test.py", exe, prefix, E2E_CASE]):
            done = run("/usr/bin/python3", *test, env=BOTH)
            if done.returncode != 0:
                problems.append("%s, signed: %s" % (name, done.stdout))
    return problems


def previous_release(work):
    """A genuine release of this checkout's parent commit, and one with its
    licence replaced and SHA256SUMS made to match."""
    clone = os.path.join(work, "parent commit")
    run("git", "clone", "-q", ".", clone, check=True)
    run("git", "-C", clone, "checkout", "-q", "HEAD~1", check=True)
    genuine = run("sh", os.path.join(clone, "scripts", "release.sh"),
                  check=True).stdout.splitlines()[-1]
    tampered = os.path.join(work, "parent-tampered.zip")
    with open(tampered, "wb") as f:
        f.write(hostile_zips.release(genuine, {"LICENSE.txt": b"All rights reserved.\r\n"}))
    return genuine, tampered


def verify_problems(work, unsigned):
    """The genuine zips, against a fresh build of this checkout (one saved
    into the checkout, as a download often is) or of its parent commit, which
    must leave the checkout as it was; a tampered release of that commit."""
    def state():
        listing = run("git", "--no-optional-locks", "status", "--porcelain", "--ignored").stdout
        return listing, os.stat(".git/index").st_mtime_ns if os.path.exists(".git/index") else 0
    problems = []
    before = state()
    genuine, tampered = previous_release(work)
    saved = "saved download.zip"
    cases = [  # (arguments, status, text it must print)
        ([os.path.join(work, "signed.zip")], 0,
         "x64/portcheck.exe: signed; the signature covers exactly this checkout's build"),
        ([unsigned, unsigned], 0, "x64/portcheck.exe: unsigned; identical"),
        ([saved], 0, "x86/portcheck.exe: unsigned; identical to this checkout's build"),
        (["--commit", "HEAD~1", genuine], 0, "VERIFIED: every byte is what commit"),
        (["--commit", "HEAD~1", tampered], 1, "LICENSE.txt differs from commit"),
    ]
    shutil.copy(unsigned, saved)
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


def other_commit(work):
    """A genuine release of a commit that this checkout is not at."""
    clone = os.path.join(work, "other commit")
    run("git", "clone", "-q", ".", clone, check=True)
    run("git", "-C", clone, "-c", "user.name=Test", "-c", "user.email=test@invalid", "commit",
        "-q", "--allow-empty", "-m", "Another commit", check=True)
    made = run("sh", os.path.join(clone, "scripts", "release.sh"), check=True)
    return made.stdout.splitlines()[-1]


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


def main():
    with tempfile.TemporaryDirectory() as work:
        key, ca = make_key(work)
        release = run("sh", "scripts/release.sh", os.path.join(work, "release"), check=True)
        unsigned = os.path.join(work, "unsigned.zip")
        shutil.copy(release.stdout.splitlines()[-1], unsigned)
        prefix = os.path.join(work, "prefix")
        run("sh", "scripts/wine-prefix.sh", "make", prefix, check=True, env=BOTH)
        try:
            results = [("signing twice gives one zip", signing_problems(work, unsigned, key))]
            if os.path.exists(os.path.join(work, "signed.zip")):
                results += [("the signed executables", signed_executable_problems(work, ca, prefix)),
                            ("verify-release.sh", verify_problems(work, unsigned)),
                            ("verify-release.sh against hostile zips", hostile_zips.problems(
                                work, unsigned, os.path.join(work, "signed.zip"),
                                os.path.join(work, "signed-msi"), key, ca,
                                impostor(work, unsigned), other_commit(work))),
                            ("sign-release.sh refusals", refusal_problems(work, unsigned, key))]
        finally:
            run("sh", "scripts/wine-prefix.sh", "down", prefix, env=BOTH)
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
