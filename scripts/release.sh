#!/bin/sh
# Builds both Windows executables from scratch in the size-optimised release
# configuration, without tests, and writes the release zip under dist/. Its
# path is the last line printed. The same commit gives the same bytes: the
# zip's times come from SOURCE_DATE_EPOCH, by default the commit's time.
#   scripts/release.sh [FOLDER]
# With a folder given (relative to where this is started), the builds and
# dist/ go there instead of into the checkout. One run at a time per folder.
set -eu
case ${1:-} in
  -*) echo "usage: scripts/release.sh [FOLDER]" >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "usage: scripts/release.sh [FOLDER]" >&2; exit 2; }
out=${1:-$(dirname "$0")/..}
mkdir -p "$out"
out=$(cd "$out" && pwd)
cd "$(dirname "$0")/.."
. scripts/common.sh
ensure_packages $PORTCHECK_RELEASE_PACKAGES

# Two runs into one folder would build over each other. The lock is on the
# folder itself, so it leaves nothing behind.
exec 9<"$out"
if ! flock -n 9; then
  echo "release: another scripts/release.sh is writing into $out; wait for it to end, or give another folder" >&2
  exit 1
fi

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH

for target in x64:x86_64 x86:i686; do
  arch=${target%%:*}
  build=$out/build/release-$arch
  rm -rf "$build"
  echo "Building $arch..."
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$(pwd)/cmake/mingw-w64-${target#*:}.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DPORTCHECK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target portcheck >/dev/null
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/build/release-x64/CMakeCache.txt")
/usr/bin/python3 -B release/make_zip.py "$version" "$out/build/release-x64/portcheck.exe" \
  "$out/build/release-x86/portcheck.exe" "$out/dist"
