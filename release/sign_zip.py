#!/usr/bin/python3
"""Signs both executables of a release zip with Authenticode (osslsigncode)
and writes <name>-signed.zip beside it, its path printed last. Arguments: the
zip, then the key selection, handed to `osslsigncode sign` unchanged. The
signing time is the release's own, so the same zip and key give the same
bytes, unless a timestamp server puts its own time in."""
import os
import sys
import tempfile

from release_zip import (EXECUTABLES, NotARelease, checksums, end_cleanly_on_signals,
                         finish_output, is_signed, open_output, osslsigncode, read_zip, zip_bytes)

DESCRIPTION = "Zelnar Port Check Utility"
TIMESTAMP_OPTIONS = ("-t", "-ts")


def fail(message):
    print("sign-release: %s" % message, file=sys.stderr)
    return 1


def sign(image, key_options, epoch, work):
    """The signed image, or None with osslsigncode's own words printed."""
    signed, said = osslsigncode("sign", key_options + ["-h", "sha256", "-n", DESCRIPTION,
                                                       "-time", str(epoch)], image, work)
    if signed is None:
        sys.stderr.write(said)
    return signed


def main(arguments):
    end_cleanly_on_signals()
    if len(arguments) < 2 or arguments[0].startswith("-"):
        return fail("usage: scripts/sign-release.sh ZIP KEY-OPTION...\n"
                    "  e.g. -pkcs12 key.p12 -readpass password.txt\n"
                    "  or   -pkcs11module MODULE -key PKCS11-URI -certs CHAIN.pem")
    zip_path, key_options = arguments[0], arguments[1:]
    try:
        top, files, modes, epoch = read_zip(zip_path)
        if checksums(files) != files["SHA256SUMS"]:
            raise NotARelease("%s: SHA256SUMS does not match its files" % zip_path)
        for name in EXECUTABLES:
            if is_signed(files[name]):
                raise NotARelease("%s: %s is already signed" % (zip_path, name))
    except NotARelease as error:
        return fail(str(error))
    base = zip_path[:-4] if zip_path.lower().endswith(".zip") else zip_path
    signed_path = base + "-signed.zip"
    if os.path.lexists(signed_path):
        return fail("%s exists already, and a signed zip is not overwritten (one signed with a "
                    "timestamp cannot be made again); move or delete it first" % signed_path)
    # Before the key is used: a folder that cannot be written shows now.
    try:
        temporary = open_output(signed_path)
    except OSError as error:
        return fail("cannot write %s (%s); nothing signed" % (signed_path, error.strerror))
    try:
        with tempfile.TemporaryDirectory() as work:
            for name in EXECUTABLES:
                signed = sign(files[name], key_options, epoch, work)
                if signed is None:
                    return fail("osslsigncode could not sign %s with the key given; nothing "
                                "written" % name)
                files[name] = signed
        files["SHA256SUMS"] = checksums(files)
        finish_output(temporary, zip_bytes(top, files, modes, epoch), signed_path, replace=False)
    except FileExistsError:
        return fail("%s appeared while signing; it is left as it was" % signed_path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
    if any(option in TIMESTAMP_OPTIONS for option in key_options):
        print("Timestamped: the server's time is in the signatures, so signing again gives "
              "other bytes.")
    print(signed_path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
