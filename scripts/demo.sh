#!/bin/sh
# Builds the Windows executable and runs it under Wine in a throwaway prefix
# that holds a few sample Ports devices (scripts/demo-devices.reg), some of
# them probes. Prints the report; the exit status is the program's.
set -eu
cd "$(dirname "$0")/.."
. scripts/common.sh
build_windows portcheck

prefix=$(mktemp -d)
trap 'sh scripts/wine-prefix.sh down "$prefix"; rm -rf "$prefix"' EXIT
echo "Making a throwaway Wine prefix with sample devices (about 10 seconds)..." >&2
sh scripts/wine-prefix.sh make "$prefix"
WINEPREFIX=$prefix WINEDEBUG=-all sh scripts/wine.sh regedit /S scripts/demo-devices.reg </dev/null
set +e
WINEPREFIX=$prefix WINEDEBUG=-all sh scripts/wine.sh build/windows/portcheck.exe </dev/null
status=$?
echo "(exit status $status)" >&2
exit $status
