#!/bin/sh
# Runs a Windows program under Wine for ctest: quiet, in the prefix the test
# names (WINEPREFIX), with that prefix's server kept running by the suite.
export WINEDEBUG=-all
exec sh "$(dirname "$0")/../../scripts/wine.sh" "$@"
