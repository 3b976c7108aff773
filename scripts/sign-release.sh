#!/bin/sh
# Signs a release made by scripts/release.sh:
#   scripts/sign-release.sh [--download-url URL] ZIP KEY-OPTION...
# Every argument after the zip goes to `osslsigncode sign` as the key
# selection (a PKCS#12 file, or a PKCS#11 token). Writes beside the zip the
# signed set: <name>-signed.zip (both executables signed), both MSIs built
# again from them and signed (portcheck-<version>-<arch>-signed.msi), their
# SBOM and <top>-signed-SHA256SUMS, and with --download-url the set's winget
# and Scoop manifests under manifests-signed/. Prints the signed zip's path
# last. Status 2 for a wrong argument, 1 when nothing could be signed; on any
# error it writes nothing.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
ensure_packages $PORTCHECK_SIGN_PACKAGES
exec /usr/bin/python3 -B "$top/release/sign_release.py" "$@"
