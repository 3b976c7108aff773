#!/bin/sh
# Builds the Windows executable and the two comparison programs, and times
# them under Wine in a throwaway prefix (bench/benchmark.py says how).
set -eu
cd "$(dirname "$0")/.."
. scripts/common.sh
ensure_packages python3
build_windows portcheck bench_minimal_walk bench_empty

work=$(mktemp -d)
trap 'sh scripts/wine-prefix.sh down "$work/prefix"; rm -rf "$work"' EXIT
sh scripts/wine-prefix.sh make "$work/prefix"
/usr/bin/python3 bench/benchmark.py build/windows-app/portcheck.exe \
  build/windows-app/bench/bench_minimal_walk.exe build/windows-app/bench/bench_empty.exe \
  "$work/prefix" "$work"
