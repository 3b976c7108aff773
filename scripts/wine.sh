#!/bin/sh
# `wine.sh PROGRAM ARGS...` like wine, `wine.sh --server ARGS...` like wineserver:
# this machine's wine64, or with PORTCHECK_WINE_ARCH=x86 the root that
# setup-x86-wine.sh makes (never skipped: missing, it fails). The 64-bit loader
# starts everything, so Wine's own tools run 64-bit, as Windows' do.
. "$(dirname "$0")/common.sh"
# Address layout randomisation off: without a preloader, Wine now and then
# failed to start a program ("ShellExecuteEx failed: Internal error").
fixed_layout="setarch $(uname -m) -R"
export WINELOADER=/usr/lib/wine/wine64
# This machine's Wine replaces this shell; the x86 root's is entered through bwrap.
run=exec
if [ "${PORTCHECK_WINE_ARCH:-}" = x86 ]; then
  if ! x86_wine_present; then
    echo "wine.sh: the 32-bit Wine that runs the x86 build is not set up in" \
      "$PORTCHECK_X86_WINE; run, as root: sh scripts/setup-x86-wine.sh"
    exit 127
  fi
  run=x86_enter
fi
if [ "${1:-}" = --server ]; then
  shift
  $run wineserver "$@"
  exit
fi
$run $fixed_layout /usr/lib/wine/wine64 "$@"
