#!/bin/sh
#   scripts/rebuild-clean.sh [ZIP]
# rebuilds the release in a minimal root of the Debian release it was built on,
# without network, and compares: IDENTICAL (0), what differs (1), cannot run
# (2). docs/supply-chain.md.
set -eu
case $#:${1:-} in
  0:|1:[!-]*) ;;
  *) echo "usage: scripts/rebuild-clean.sh [ZIP]" >&2; exit 2 ;;
esac
given=""
[ $# -eq 1 ] && given=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
require_root rebuild-clean "sh scripts/rebuild-clean.sh"
ensure_packages $PORTCHECK_REBUILD_PACKAGES
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -z "$given" ]; then
  echo "Building the release here to compare with..." >&2
  sh "$top/scripts/release.sh" "$work/here" >"$work/here.log" 2>&1 || {
    cat "$work/here.log" >&2
    exit 2
  }
  given=$(tail -n 1 "$work/here.log")
fi
# What the release recorded: its Debian release and toolchain.
/usr/bin/python3 -B "$top/release/rebuild_clean.py" recorded "$given" >"$work/recorded" || exit 2
mkdir "$work/io"
status=0
SOURCE_DATE_EPOCH=$(sed -n '/^source-date-epoch /{s///p;q;}' "$work/recorded") \
  sh "$top/scripts/in-clean-root.sh" "$work/recorded" "$work/io" \
  sh -c 'echo "Rebuilding in the root, with the network cut off..." >&2
    exec sh scripts/release.sh /io/rebuilt' >"$work/rebuild.log" || status=$?
if [ $status -ne 0 ]; then
  tail -n 20 "$work/rebuild.log" >&2
  echo "rebuild-clean: the release could not be built in the clean root" >&2
  exit 2
fi
rebuilt=$work$(tail -n 1 "$work/rebuild.log")
echo "Comparing..." >&2
/usr/bin/python3 -B "$top/release/rebuild_clean.py" compare "$given" "$rebuilt" \
  "$work/io/unavailable"
