#!/bin/sh
# Checks a downloaded release file (the zip or an MSI), signed or unsigned,
# against what this checkout, or a commit of it, builds:
#   scripts/verify-release.sh [--commit COMMIT] [--ca-file FILE] DOWNLOAD [REFERENCE-ZIP]
# Without a reference zip it builds one with scripts/release.sh from a clean
# export of the checkout (its tracked files as they stand; nothing
# untracked), or of COMMIT with that commit's own build files, compared by
# this checkout's checks. With --ca-file (PEM or DER certificates: a
# company's issuing CA, or the roots the user trusts, timestamping roots
# included) every signer must chain to one of them. Exit status: 0 VERIFIED,
# 1 NOT VERIFIED, 2 no readable release file, a commit this repository
# lacks, or a wrong usage. docs/verifying.md says what each proves. Writes
# nothing into the checkout, nothing outside its temporary folder.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
ensure_packages $PORTCHECK_VERIFY_PACKAGES
exec /usr/bin/python3 -B "$top/verify/verify_release.py" "$@"
