#!/bin/sh
#   scripts/rebuild-clean.sh [ZIP]
# rebuilds the release in a minimal Debian root without network and compares:
# IDENTICAL (0), what differs (1), cannot run (2). docs/supply-chain.md.
set -eu
case $#:${1:-} in
  0:|1:[!-]*) ;;
  *) echo "usage: scripts/rebuild-clean.sh [ZIP]" >&2; exit 2 ;;
esac
given=""
[ $# -eq 1 ] && given=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
if [ "$(id -u)" -ne 0 ]; then
  echo "rebuild-clean: run it as root: mmdebstrap makes the root's device files and" \
    "bubblewrap mounts it (sudo sh scripts/rebuild-clean.sh)" >&2
  exit 2
fi
ensure_packages $PORTCHECK_REBUILD_PACKAGES
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -z "$given" ]; then
  echo "Building the release here to compare with..." >&2
  sh "$top/scripts/release.sh" "$work/here" >"$work/here.log" 2>&1 || {
    cat "$work/here.log" >&2
    exit 2
  }
  given=$(tail -n 1 "$work/here.log")
fi
# What the release recorded: its toolchain, pinned where the archive has it.
/usr/bin/python3 -B "$top/release/rebuild_clean.py" recorded "$given" >"$work/recorded" || exit 2
epoch=$(sed -n 's/^source-date-epoch //p' "$work/recorded")

echo "Making a minimal Debian 12 root with the build packages (a few minutes)..." >&2
# This machine's own Debian sources, so that the root sees the same archive.
set --
for sources in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -s "$sources" ] && set -- "$@" "$sources"
done
packages=$(echo $PORTCHECK_RELEASE_PACKAGES | tr ' ' ',')
mmdebstrap --quiet --variant=apt --include="$packages" bookworm "$work/root" "$@" \
  >"$work/mmdebstrap.log" 2>&1 || {
  tail -n 20 "$work/mmdebstrap.log" >&2
  echo "rebuild-clean: mmdebstrap could not make the root" >&2
  exit 2
}
echo "Installing the recorded versions where the archive still has them..." >&2
# One package at a time: a version the archive dropped does not stop the others.
: >"$work/unavailable"
sed -n 's/^built-with //p' "$work/recorded" | while read -r package version; do
  bwrap --bind "$work/root" / --dev /dev --proc /proc --tmpfs /tmp \
    --ro-bind /etc/resolv.conf /etc/resolv.conf --die-with-parent \
    apt-get install -y -q --allow-downgrades "$package=$version" </dev/null >/dev/null 2>&1 ||
    echo "$package $version" >>"$work/unavailable"
done

echo "Rebuilding in the root, with the network cut off..." >&2
mkdir "$work/root/src"
(cd "$top" && git ls-files -co --exclude-standard -z | tar --null -T - -cf - | \
  tar -C "$work/root/src" -xf -)
cp -a "$top/.git" "$work/root/src/.git"
bwrap --bind "$work/root" / --dev /dev --proc /proc --tmpfs /tmp --unshare-net --unshare-pid \
  --die-with-parent --clearenv --setenv PATH /usr/sbin:/usr/bin:/sbin:/bin \
  --setenv HOME /root --setenv SOURCE_DATE_EPOCH "$epoch" --chdir /src \
  sh scripts/release.sh /rebuilt >"$work/rebuild.log" 2>&1 </dev/null || {
  tail -n 20 "$work/rebuild.log" >&2
  echo "rebuild-clean: the release could not be built in the clean root" >&2
  exit 2
}
rebuilt=$work/root$(tail -n 1 "$work/rebuild.log")
echo "Comparing..." >&2
/usr/bin/python3 -B "$top/release/rebuild_clean.py" compare "$given" "$rebuilt" \
  "$work/unavailable"
