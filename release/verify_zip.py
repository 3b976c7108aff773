#!/usr/bin/python3
"""Checks a release zip, signed or not, against this checkout's own build:
SHA256SUMS, then each executable, named with its signer and compared byte
for byte, without its signature, with the reference zip's. Arguments: the
zip, the reference zip (made by scripts/release.sh from this checkout) and
the checkout's folder. Whether the signer is trusted is Windows' decision."""
import os
import subprocess
import sys
import tempfile

from release_zip import (EXECUTABLES, NotARelease, checksums, is_signed, osslsigncode, read_zip,
                         signature)


def signer(image, work):
    """The subject of the certificate that signed the image, or None where the
    signature cannot be read. The signature is not judged here, so a file
    changed after signing still names its signer."""
    der, certificate = os.path.join(work, "signature.der"), os.path.join(work, "signer.pem")
    with open(der, "wb") as f:
        f.write(signature(image))
    if os.path.exists(certificate):
        os.unlink(certificate)
    quiet = dict(capture_output=True, text=True, stdin=subprocess.DEVNULL)
    subprocess.run(["openssl", "smime", "-verify", "-noverify", "-nosigs", "-inform", "DER",
                    "-in", der, "-signer", certificate, "-out", os.devnull], **quiet)
    subject = subprocess.run(["openssl", "x509", "-in", certificate, "-noout", "-subject",
                              "-nameopt", "RFC2253"], **quiet).stdout.strip()
    return subject[len("subject="):] if subject.startswith("subject=") else None


def without_signature(image, work):
    """(signer, the image's bytes without its signature); (None, image) when unsigned."""
    if not is_signed(image):
        return None, image
    unsigned, _ = osslsigncode("remove-signature", [], image, work)
    return signer(image, work) or "an unreadable certificate", unsigned or b""


def git(folder, *arguments):
    return subprocess.run(["git", "-C", folder] + list(arguments), capture_output=True, text=True,
                          stdin=subprocess.DEVNULL).stdout.strip()


def describe_checkout(folder):
    commit = git(folder, "rev-parse", "--short=12", "HEAD") or "unknown"
    changed = git(folder, "status", "--porcelain", "--untracked-files=no")
    return "commit %s%s" % (commit, " with uncommitted changes" if changed else "")


def main(arguments):
    zip_path, reference_path, checkout = arguments
    try:
        top, files, _, _ = read_zip(zip_path)
        reference_top, reference, _, _ = read_zip(reference_path)
        for name in EXECUTABLES:
            is_signed(files[name])
    except NotARelease as error:
        print("verify-release: %s" % error, file=sys.stderr)
        return 2
    good = checksums(files) == files["SHA256SUMS"]
    print("SHA256SUMS: %s" % ("matches the files" if good else "DOES NOT MATCH the files"))
    with tempfile.TemporaryDirectory() as work:
        for name in EXECUTABLES:
            who, image = without_signature(files[name], work)
            _, built = without_signature(reference[name], work)
            same = image == built
            good = good and same
            print("%s: %s; %s this checkout's build" % (
                name, "signed by %s" % who if who else "unsigned",
                ("without its signature, " if who else "") +
                ("identical to" if same else "DIFFERS from")))
    checkout_is = "%s at %s" % (reference_top.replace("-", " ", 1), describe_checkout(checkout))
    if good:
        print("VERIFIED: %s is this checkout's build (%s)" % (top, checkout_is))
        return 0
    print("NOT VERIFIED: %s is not this checkout's build; this checkout is %s" % (top, checkout_is))
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
