#!/usr/bin/python3
"""Signs both executables, then both packages built again from them, and
describes the signed set beside the zip. The signing time is the release's,
so the same zip and key give the same bytes (unless a timestamp server's)."""
import argparse
import os
import sys
import tempfile

if __package__ in (None, ""):  # started as a file: the packages lie at the checkout's top
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from release import make_manifests
from release.describe import describe
from release.make_msi import packages
from release.package_facts import ARCHITECTURES, msi_name, signed_zip_path, version_of
from release.authenticode_tool import is_signed, osslsigncode
from release.safe_output import end_cleanly_on_signals, finish_output, open_output
from release.hostile_input import NotARelease
from release.zip_reading import read_zip
from release.zip_layout import EXECUTABLES, checksums, zip_bytes

DESCRIPTION = "Zelnar Port Check Utility"
TIMESTAMP_OPTIONS = ("-t", "-ts")
# A digest the user picks with -h is used; SHA-1 and MD5 no longer sign code.
DIGESTS = ("sha256", "sha384", "sha512")
LIMIT_SECRET = 4096  # a password or a PIN, not a file of them


def fail(message: str) -> int:
    print("sign-release: %s" % message, file=sys.stderr)
    return 1


def read_secret(key_options: list):
    """The bytes of -readpass's file, read once: then it may be a pipe (the
    PIN on standard input, from a secret store or an environment variable),
    which osslsigncode could read only for the first of four signatures."""
    if "-readpass" not in key_options or key_options[-1] == "-readpass":
        return None
    path = key_options[key_options.index("-readpass") + 1]
    try:
        if path == "-":  # osslsigncode's name for standard input
            secret = sys.stdin.buffer.read(LIMIT_SECRET + 1)
        else:
            with open(path, "rb") as f:
                secret = f.read(LIMIT_SECRET + 1)
    except OSError as error:
        raise NotARelease("the -readpass file %s cannot be read (%s); nothing signed" % (
            path, error.strerror)) from None
    if len(secret) > LIMIT_SECRET:
        raise NotARelease("the -readpass file %s holds more than %d bytes, which no password "
                          "or PIN is; nothing signed" % (path, LIMIT_SECRET))
    return secret


def sign(image: bytes, key_options: list, epoch: int, work: str, secret=None) -> tuple:
    digest = [] if "-h" in key_options else ["-h", "sha256"]
    options, kept = list(key_options), ()
    if secret is not None:  # through a pipe of its own, never written to a file
        kept, writer = os.pipe()
        os.write(writer, secret)
        os.close(writer)
        options[options.index("-readpass") + 1] = "/dev/fd/%d" % kept
        kept = (kept,)
    try:
        signed, said = osslsigncode("sign", options + digest + [
            "-n", DESCRIPTION, "-time", str(epoch)], image, work, pass_fds=kept)
    finally:
        for descriptor in kept:
            os.close(descriptor)
    if signed is None:
        sys.stderr.write(said)
    return signed


def signed_set(zip_path: str, key_options: list, work: str) -> tuple:
    """({output path: bytes}, the signed zip's path), or (None, a message)."""
    try:
        top, files, modes, epoch = read_zip(zip_path)
        if checksums(files) != files["SHA256SUMS"]:
            raise NotARelease("%s: SHA256SUMS does not match its files" % zip_path)
        for name in EXECUTABLES:
            if is_signed(files[name]):
                raise NotARelease("%s: %s is already signed" % (zip_path, name))
        secret = read_secret(key_options)
    except NotARelease as error:
        return None, str(error)
    folder = os.path.dirname(os.path.abspath(zip_path))
    signed_zip = signed_zip_path(zip_path)
    version = version_of(top)
    paths = [signed_zip] + [os.path.join(folder, msi_name(version, architecture, True))
                            for architecture in ARCHITECTURES]
    existing = [path for path in paths if os.path.lexists(path)]
    if existing:
        return None, ("%s exists already, and signed files are not overwritten (one signed with "
                      "a timestamp cannot be made again); move or delete it first" % existing[0])
    for name in EXECUTABLES:
        files[name] = sign(files[name], key_options, epoch, work, secret)
        if files[name] is None:
            return None, "osslsigncode could not sign %s with the key given; nothing written" % name
    files["SHA256SUMS"] = checksums(files)
    made = {signed_zip: zip_bytes(top, files, modes, epoch)}
    for name, package in sorted(packages(top, files, epoch).items()):
        signed = sign(package, key_options, epoch, work, secret)
        if signed is None:
            return None, "osslsigncode could not sign %s; nothing written" % name
        made[os.path.join(folder, name.replace(".msi", "-signed.msi"))] = signed
    return made, signed_zip


def main(arguments: list) -> int:
    parser = argparse.ArgumentParser(
        prog="scripts/sign-release.sh", usage="%(prog)s [--download-url https://...] ZIP "
        "KEY-OPTION...", description="Signs a release. The options after the zip select the key "
        "for osslsigncode sign: -pkcs12 key.p12 -readpass password.txt, or -pkcs11module MODULE "
        "-key PKCS11-URI -certs CHAIN.pem.")
    parser.add_argument("--download-url", type=make_manifests.download_url)
    parser.add_argument("zip")
    parser.add_argument("key_options", nargs=argparse.REMAINDER)
    given = parser.parse_args(arguments)
    if not given.key_options:
        parser.error("no key selection after the zip")
    options = given.key_options
    if "-h" in options and options[options.index("-h") + 1:][:1] not in ([d] for d in DIGESTS):
        parser.error("-h takes %s: a release is signed with SHA-2" % ", ".join(DIGESTS))
    # osslsigncode asks for a token's PIN on a terminal, and there is none here.
    if "-pkcs11module" in options and not {"-pass", "-readpass"} & set(options):
        parser.error("a PKCS#11 key needs its PIN: add -readpass FILE (a file holding the "
                     "PIN), since osslsigncode would ask on a terminal that is not there")
    end_cleanly_on_signals()
    zip_path, key_options, url = given.zip, given.key_options, given.download_url
    temporaries = {}
    try:
        # Before the key is used: a folder that cannot be written shows now.
        temporaries[None] = open_output(signed_zip_path(zip_path))
    except OSError as error:
        return fail("cannot write beside %s (%s); nothing signed" % (zip_path, error.strerror))
    try:
        with tempfile.TemporaryDirectory() as work:
            made, said = signed_set(zip_path, key_options, work)
        if made is None:
            return fail(said)
        for path in made:
            temporaries[path] = open_output(path)
        for path, data in made.items():
            finish_output(temporaries[path], data, path, replace=False)
    except FileExistsError as error:
        return fail("%s appeared while signing; it is left as it was"
                    % (getattr(error, "filename2", None) or error.filename))
    finally:
        for temporary in temporaries.values():
            if os.path.exists(temporary):
                os.unlink(temporary)
    folder = os.path.dirname(os.path.abspath(zip_path))
    describe(said, folder, signed=True, url=url)
    if any(option in TIMESTAMP_OPTIONS for option in key_options):
        print("Timestamped: the server's time is in the signatures, so signing again gives "
              "other bytes.")
    print(said)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
