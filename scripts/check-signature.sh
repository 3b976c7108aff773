#!/bin/sh
#   scripts/check-signature.sh [--ca-file FILE] FILE...
# 0 every signature acceptable, 1 one refused, 2 a file not signed or a wrong usage; docs/verifying.md.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
ensure_packages $PORTCHECK_CHECK_SIGNATURE_PACKAGES
exec /usr/bin/python3 -B "$top/verify/check_signature.py" "$@"
