#!/bin/sh
# Runs Wine: `sh scripts/wine.sh PROGRAM ARGUMENTS...`, like `wine`, or
# `sh scripts/wine.sh --server ARGUMENTS...`, like `wineserver`.
# By default, this machine's own wine64, which runs 64-bit programs and Wine's
# tools. With PORTCHECK_WINE_ARCH=x86 (the x86 build's tests, and the tests
# that put both builds in one prefix), the Wine of the root that
# scripts/setup-x86-wine.sh makes: 64- and 32-bit Wine together, as on a
# 64-bit Windows, with the 32-bit programs run by the kernel or, where it runs
# none, by QEMU's emulator. Where that root is missing this says so and fails:
# the x86 build's tests are never skipped.
# Debian's Wine has no preloader to reserve its address ranges first, and
# with the layout randomised a program start failed now and then here
# ("ShellExecuteEx failed: Internal error", about one Windows-suite run in
# twenty); with randomisation off for Wine and what it starts, none did in
# thirty runs under load. The executables' own ASLR flag is the image test's.
. "$(dirname "$0")/common.sh"
fixed_layout="setarch $(uname -m) -R"
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
  x86_enter $fixed_layout wine "$@"
  exit
fi
if [ "${1:-}" = --server ]; then
  shift
  exec wineserver "$@"
fi
export WINELOADER=/usr/lib/wine/wine64
exec $fixed_layout /usr/lib/wine/wine64 "$@"
