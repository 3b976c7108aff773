#!/bin/sh
# Signs the two executables of a release zip made by scripts/release.sh:
#   scripts/sign-release.sh ZIP KEY-OPTION...
# Every argument after the zip goes to `osslsigncode sign` as the key
# selection (a PKCS#12 file, or a PKCS#11 token). Writes <name>-signed.zip
# beside the zip and prints its path last; on any error, writes nothing.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
ensure_packages $PORTCHECK_SIGN_PACKAGES
exec /usr/bin/python3 -B "$top/release/sign_zip.py" "$@"
