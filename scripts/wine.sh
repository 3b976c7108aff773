#!/bin/sh
# Runs Wine: `sh scripts/wine.sh PROGRAM ARGUMENTS...`, like `wine`, or
# `sh scripts/wine.sh --server ARGUMENTS...`, like `wineserver`.
# By default, this machine's own wine64. With PORTCHECK_WINE_ARCH=x86 (the x86
# build's tests, and the tests that put both builds in one prefix), the Wine
# of the root that scripts/setup-x86-wine.sh makes: 64- and 32-bit Wine
# together, as on a 64-bit Windows. Either way the 64-bit loader starts the
# program: Wine's own tools (msiexec, cmd, reg) run 64-bit, as Windows' do,
# and a 32-bit program is handed to the 32-bit loader (run by the kernel or,
# where it runs none, by QEMU's emulator). Where that root is missing this
# says so and fails: the x86 build's tests are never skipped.
. "$(dirname "$0")/common.sh"
# Address layout randomisation off: without a preloader, Wine now and then
# failed to start a program ("ShellExecuteEx failed: Internal error").
fixed_layout="setarch $(uname -m) -R"
export WINELOADER=/usr/lib/wine/wine64
if [ "${PORTCHECK_WINE_ARCH:-}" = x86 ]; then
  if ! x86_wine_present; then
    echo "wine.sh: the 32-bit Wine that runs the x86 build is not set up in" \
      "$PORTCHECK_X86_WINE; run, as root: sh scripts/setup-x86-wine.sh"
    exit 127
  fi
  if [ "${1:-}" = --server ]; then
    shift
    x86_enter wineserver "$@"
    exit
  fi
  x86_enter $fixed_layout /usr/lib/wine/wine64 "$@"
  exit
fi
if [ "${1:-}" = --server ]; then
  shift
  exec wineserver "$@"
fi
exec $fixed_layout /usr/lib/wine/wine64 "$@"
