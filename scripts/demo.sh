#!/bin/sh
# Builds the Windows executable and runs it under Wine in a throwaway prefix
# that holds a few sample Ports devices (scripts/demo-devices.reg), some of
# them probes. Prints the report; the exit status is the program's, or 2 when
# it could not be built or started.
set -eu
cd "$(dirname "$0")/.."
. scripts/common.sh
build_windows portcheck

prefix=$(mktemp -d)
# The prefix goes whatever happens; until the program has run, a failure exits 2.
status=2
trap 'sh scripts/wine-prefix.sh down "$prefix" || true; rm -rf "$prefix"; exit $status' EXIT
echo "Making a throwaway Wine prefix with sample devices (about 10 seconds)..." >&2
sh scripts/wine-prefix.sh make "$prefix"
WINEPREFIX=$prefix WINEDEBUG=-all sh scripts/wine.sh regedit /S scripts/demo-devices.reg </dev/null
set +e
WINEPREFIX=$prefix WINEDEBUG=-all sh scripts/wine.sh build/windows-app/portcheck.exe </dev/null
status=$?
echo "(exit status $status)" >&2
