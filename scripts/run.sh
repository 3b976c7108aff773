#!/bin/sh
# Builds the Windows executable and runs it, under Wine on Linux, in a Wine
# prefix of its own (build/wine-run). Arguments are passed on (the program
# ignores them); the exit status is the program's, or 2 when it could not be
# built or started.
set -eu
cd "$(dirname "$0")/.."
. scripts/common.sh
build_windows portcheck

prefix=$(pwd)/build/wine-run
[ -d "$prefix" ] || sh scripts/wine-prefix.sh make "$prefix"
sh scripts/wine-prefix.sh up "$prefix"
trap - EXIT
set +e
WINEPREFIX=$prefix WINEDEBUG=-all sh scripts/wine.sh build/windows-app/portcheck.exe "$@" </dev/null
status=$?
sh scripts/wine-prefix.sh down "$prefix"
exit $status
