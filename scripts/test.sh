#!/bin/sh
# The whole test suite, layer by layer as docs/testing.md describes it.
set -eu
cd "$(dirname "$0")/.."
. scripts/common.sh
ensure_packages $PORTCHECK_TEST_PACKAGES
command -v npm >/dev/null || ensure_packages nodejs npm
sh scripts/setup-x86-wine.sh
# First, in seconds, with no build and no Wine: the release's parsers and writers.
/usr/bin/python3 -B -m unittest discover -t . -s tests/release -p 'test_*.py'

cmake --workflow --preset host
cmake --workflow --preset host-asan
cmake --workflow --preset windows
cmake --workflow --preset windows-x86
PORTCHECK_TEST_WORK=$(mktemp -d)
export PORTCHECK_TEST_WORK
trap 'rm -rf "$PORTCHECK_TEST_WORK"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
/usr/bin/python3 -B -m unittest discover -t . -s tests/package -p 'test_*.py'
sh scripts/rebuild-clean.sh "$PORTCHECK_TEST_WORK"/release/dist/*-windows.zip
sh scripts/style.sh
echo "All test suites passed."
