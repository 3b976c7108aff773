#!/bin/sh
# Checks a downloaded release zip, signed or unsigned, against what this
# checkout builds:
#   scripts/verify-release.sh ZIP [REFERENCE-ZIP]
# Makes the reference with scripts/release.sh in a throwaway folder, unless a
# reference zip is given (messages then name that file, not the checkout).
# Prints what it found and a verdict. Exit status: 0 VERIFIED, 1 NOT
# VERIFIED, 2 a file that is no readable release zip, or a wrong usage.
# Writes nothing into the checkout, nothing outside its temporary folder.
set -eu
case $# in
  1|2) ;;
  *) echo "usage: scripts/verify-release.sh ZIP [REFERENCE-ZIP]" >&2; exit 2 ;;
esac
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
ensure_packages $PORTCHECK_VERIFY_PACKAGES
verify() {
  /usr/bin/python3 -B "$top/release/verify_zip.py" "$@"
}
# Anything but a regular file is refused before a minute is spent building:
# a FIFO would block the reader for ever.
for file in "$@"; do
  verify --regular "$file" || exit 2
done
if [ $# -eq 2 ]; then
  verify "$1" "$2" "$top" given
  exit
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
echo "Building this checkout's release to compare with (about a minute)..." >&2
sh "$top/scripts/release.sh" "$work" >"$work/release.log" 2>&1 || {
  cat "$work/release.log" >&2
  echo "verify-release: this checkout's release could not be built" >&2
  exit 2
}
verify "$1" "$(tail -n 1 "$work/release.log")" "$top"
