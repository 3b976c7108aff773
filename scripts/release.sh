#!/bin/sh
# Builds both Windows executables from scratch in the size-optimised release
# configuration, without tests, and writes the release zip under dist/. Its
# path is the last line printed. The same commit gives the same bytes: the
# zip's times come from SOURCE_DATE_EPOCH, by default the commit's time.
# With a folder given, the builds and dist/ go there instead of here.
set -eu
cd "$(dirname "$0")/.."
. scripts/common.sh
ensure_packages $PORTCHECK_RELEASE_PACKAGES
out=${1:-$(pwd)}
mkdir -p "$out"
out=$(cd "$out" && pwd)
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
/usr/bin/python3 release/make_zip.py "$version" "$out/build/release-x64/portcheck.exe" \
  "$out/build/release-x86/portcheck.exe" "$out/dist"
