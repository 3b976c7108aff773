#!/bin/sh
#   scripts/sign-release.sh [--download-url URL] ZIP KEY-OPTION...
# writes the signed set beside the zip, or nothing; docs/releasing.md says more.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
ensure_packages $PORTCHECK_SIGN_PACKAGES
exec /usr/bin/python3 -B "$top/release/sign_release.py" "$@"
