#!/bin/sh
# The whole test suite. First the unit tests of the release's parsers and
# writers (tests/release, Python's unittest); then each build is configured,
# built and tested by its workflow preset:
#   host       the portable program over the stand-in platform
#   host-asan  the same tests under AddressSanitizer and UBSan (clang), and a
#              bounded fuzz run of the probe report
#   windows    the cross-built x64 executable; its tests run under Wine
#   windows-x86  the same for the x86 executable, under 32-bit Wine (made
#              once by scripts/setup-x86-wine.sh and reused while present)
# then the release, made once and shared by the tests of tests/package: made
# again elsewhere and compared (test_release.py), signed with a throwaway key
# and checked against genuine and hostile downloads (test_signing.py), its
# Windows Installer packages installed, upgraded and removed under Wine
# (test_installer.py); that release rebuilt in a clean Debian root without
# network and compared byte for byte (scripts/rebuild-clean.sh); and the style
# gates (clang-format, clang-tidy, pyflakes).
set -eu
cd "$(dirname "$0")/.."
. scripts/common.sh
ensure_packages $PORTCHECK_TEST_PACKAGES
command -v npm >/dev/null || ensure_packages nodejs npm
sh scripts/setup-x86-wine.sh
# The Python tests find the project's modules through this one path.
PYTHONPATH=$(pwd)/release:$(pwd)/verify:$(pwd)/scripts:$(pwd)/tests/support:$(pwd)/tests/windows
export PYTHONPATH
# First, in seconds, with no build and no Wine: the release's parsers and writers.
/usr/bin/python3 -B -m unittest discover -s tests/release -p 'test_*.py'

cmake --workflow --preset host
cmake --workflow --preset host-asan
cmake --workflow --preset windows
cmake --workflow --preset windows-x86
PORTCHECK_TEST_WORK=$(mktemp -d)
export PORTCHECK_TEST_WORK
trap 'rm -rf "$PORTCHECK_TEST_WORK"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
/usr/bin/python3 -B -m unittest discover -s tests/package -p 'test_*.py'
sh scripts/rebuild-clean.sh "$PORTCHECK_TEST_WORK"/release/dist/*-windows.zip
sh scripts/style.sh
echo "All test suites passed."
