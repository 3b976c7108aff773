#!/bin/sh
# Runs Wine: `sh scripts/wine.sh PROGRAM ARGUMENTS...`, like `wine`.
# Debian's `wine` starts its 32-bit loader whenever wine32 is installed, and
# that loader starts 64-bit programs in turn. Some machines (virtual machines
# whose kernel starts no 32-bit Linux program) cannot run it, and then nothing
# would start; there the 64-bit loader is used directly, which runs 64-bit
# programs and Wine's own tools, but no 32-bit program.
# `sh scripts/wine.sh --runs-x86` only tells, by its status, whether 32-bit
# programs run here.
# With PORTCHECK_WINE_ARCH=x86 set (the x86 build's tests), such a machine
# prints the line below and exits 125; the tests take it as skipped.
# Debian's Wine has no preloader to reserve its address ranges first, and
# with the layout randomised a program start failed now and then here
# ("ShellExecuteEx failed: Internal error", about one Windows-suite run in
# twenty); with randomisation off for Wine and what it starts, none did in
# thirty runs under load. The executables' own ASLR flag is the image test's.
fixed_layout="setarch $(uname -m) -R"
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  [ "${1:-}" = --runs-x86 ] && exit 0
  exec $fixed_layout wine "$@"
fi
[ "${1:-}" = --runs-x86 ] && exit 1
if [ "${PORTCHECK_WINE_ARCH:-}" = x86 ]; then
  echo "wine.sh: 32-bit Windows programs cannot run on this machine (it starts no 32-bit Linux program, or wine32 is missing)"
  exit 125
fi
export WINELOADER=/usr/lib/wine/wine64
exec $fixed_layout /usr/lib/wine/wine64 "$@"
