#!/bin/sh
# Checks a release zip, signed or unsigned, against what this checkout builds:
#   scripts/verify-release.sh ZIP [REFERENCE-ZIP]
# Makes the reference with scripts/release.sh in a throwaway folder, unless
# one made from this checkout is given. Prints a line per executable and a
# verdict; exits 0 only when every executable is this checkout's build.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
case $# in
  1|2) ;;
  *) echo "usage: scripts/verify-release.sh ZIP [REFERENCE-ZIP]" >&2; exit 2 ;;
esac
ensure_packages $PORTCHECK_VERIFY_PACKAGES
if [ $# -eq 2 ]; then
  exec /usr/bin/python3 "$top/release/verify_zip.py" "$1" "$2" "$top"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "Building this checkout's release to compare with..." >&2
sh "$top/scripts/release.sh" "$work" >"$work/release.log" 2>&1 || {
  cat "$work/release.log" >&2
  echo "verify-release: this checkout's release could not be built" >&2
  exit 2
}
reference=$(tail -n 1 "$work/release.log")
/usr/bin/python3 "$top/release/verify_zip.py" "$1" "$reference" "$top"
