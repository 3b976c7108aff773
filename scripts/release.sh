#!/bin/sh
# Builds both executables and writes the release under FOLDER/dist (default:
# the checkout's); prints the zip's path last. docs/releasing.md says more.
set -eu
usage() {
  echo "usage: scripts/release.sh [--download-url https://...] [FOLDER]" >&2
  exit 2
}
url=""
if [ "${1:-}" = --download-url ]; then
  [ $# -ge 2 ] || usage
  url=$2
  shift 2
fi
case ${1:-} in
  -*) usage ;;
esac
[ $# -le 1 ] || usage
out=${1:-$(dirname "$0")/..}
case $out in
  /*) ;;
  *) out=$(pwd)/$out ;;
esac
cd "$(dirname "$0")/.."
. scripts/common.sh
ensure_packages $PORTCHECK_RELEASE_PACKAGES
# The describe step's own check of the address, made before the builds.
[ -z "$url" ] || /usr/bin/python3 -B -c 'import sys; from release import make_manifests
make_manifests.download_url(sys.argv[1])' "$url" 2>/dev/null || usage
mkdir -p "$out"
out=$(cd "$out" && pwd)

# Two runs into one folder would build over each other; the lock leaves nothing behind.
exec 9<"$out"
if ! flock -n 9; then
  echo "release: another scripts/release.sh is writing into $out; wait for it to end, or give another folder" >&2
  exit 1
fi

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH

# name:triple of each architecture, as release/package_facts.py lists them.
architectures=$(/usr/bin/python3 -B release/package_facts.py)
for target in $architectures; do
  arch=${target%%:*}
  build=$out/build/release-$arch
  rm -rf "$build"
  echo "Building $arch..."
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$(pwd)/cmake/mingw-w64.cmake" \
    -DPORTCHECK_MINGW_TRIPLE="${target#*:}" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DPORTCHECK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target portcheck >/dev/null
done
# The notices state what the linker took from the runtimes, and their versions.
set --
for target in $architectures; do
  set -- "$@" "${target%%:*}" "$out/build/release-${target%%:*}/portcheck.map"
done
notices=$out/build/THIRD-PARTY-NOTICES.txt
/usr/bin/python3 -B release/linked_runtime.py notices "$notices" "$@"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/build/release-$arch/CMakeCache.txt")
echo "Packaging..."
set --
for target in $architectures; do
  set -- "$@" "$out/build/release-${target%%:*}/portcheck.exe"
done
zip=$(/usr/bin/python3 -B release/make_zip.py "$version" "$out/dist" "$notices" "$@")
/usr/bin/python3 -B release/make_msi.py "$zip" "$out/dist" >/dev/null
/usr/bin/python3 -B release/describe.py "$zip" "$out/dist" ${url:+--download-url "$url"} >/dev/null
echo "$zip"
