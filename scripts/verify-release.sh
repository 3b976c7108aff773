#!/bin/sh
#   scripts/verify-release.sh [--commit COMMIT] [--ca-file FILE] [--in-root] DOWNLOAD [REFERENCE-ZIP]
# 0 VERIFIED, 1 NOT VERIFIED, 2 no release file or a wrong usage; docs/verifying.md.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
ensure_packages $PORTCHECK_VERIFY_PACKAGES
exec /usr/bin/python3 -B "$top/verify/verify_release.py" "$@"
