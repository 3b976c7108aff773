#!/bin/sh
# The whole test suite: the host build and the Windows build (its tests under
# Wine), each configured, built and tested by its workflow preset.
set -eu
cd "$(dirname "$0")/.."
. scripts/prerequisites.sh
ensure_packages $PORTCHECK_TEST_PACKAGES

cmake --workflow --preset host
cmake --workflow --preset windows
echo "All test suites passed."
