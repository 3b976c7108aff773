#!/bin/sh
#   scripts/in-clean-root.sh RECORD FOLDER COMMAND...
# Runs COMMAND in /src, a copy of this checkout, inside a minimal root of the
# Debian release that RECORD (what `rebuild_clean.py recorded` printed, which
# names Debian 12 for a release that predates the field) names,
# its packages moved to the recorded versions where the archive still has
# them (the others listed in FOLDER/unavailable), with the network cut off
# and FOLDER at /io. The status is COMMAND's, or 2 when the root cannot be
# made. Shared by rebuild-clean.sh and verify-release.sh --in-root.
set -eu
[ $# -ge 3 ] || { echo "usage: scripts/in-clean-root.sh RECORD FOLDER COMMAND..." >&2; exit 2; }
record=$1 io=$2
shift 2
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
require_root in-clean-root "sh scripts/in-clean-root.sh RECORD FOLDER COMMAND..."
ensure_packages mmdebstrap bubblewrap
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

suite=$(sed -n '/^debian-suite /{s///p;q;}' "$record")
[ -n "$suite" ] || { echo "in-clean-root: $record names no Debian release" >&2; exit 2; }
echo "Making a minimal Debian $suite root (the release was built on $suite; a few minutes)..." >&2
debian_sources "$suite" >"$root/sources" || exit 2
mmdebstrap --quiet --variant=apt --include="$(echo $PORTCHECK_VERIFY_PACKAGES | tr ' ' ',')" \
  "$suite" "$root/root" - <"$root/sources" >"$root/mmdebstrap.log" 2>&1 || {
  tail -n 20 "$root/mmdebstrap.log" >&2
  echo "mmdebstrap could not make a Debian $suite root" >&2
  exit 2
}
# What this machine trusts, for an archive reached through an inspecting proxy.
mkdir -p "$root/root/etc/ssl/certs"
cp /etc/ssl/certs/ca-certificates.crt "$root/root/etc/ssl/certs/" 2>/dev/null || true
enter() {
  bwrap --bind "$root/root" / --dev /dev --proc /proc --tmpfs /tmp \
    --ro-bind /etc/resolv.conf /etc/resolv.conf --die-with-parent "$@" </dev/null
}

echo "Installing the recorded versions where the archive still has them..." >&2
# One package at a time, and only those the root holds: a version the archive
# dropped does not stop the others, and a record cannot add a package.
: >"$io/unavailable"
sed -n 's/^built-with //p' "$record" | while read -r package version; do
  enter dpkg-query -W "$package" >/dev/null 2>&1 || continue
  enter apt-get install -y -q --allow-downgrades "$package=$version" >/dev/null 2>&1 ||
    echo "$package $version" >>"$io/unavailable"
done

mkdir "$root/root/src" "$root/root/io"
(cd "$top" && git ls-files -co --exclude-standard -z | tar --null -T - -cf - | \
  tar -C "$root/root/src" -xf -)
cp -a "$top/.git" "$root/root/src/.git"
set +e
bwrap --bind "$root/root" / --dev /dev --proc /proc --tmpfs /tmp --bind "$io" /io \
  --unshare-net --unshare-pid --die-with-parent --clearenv \
  --setenv PATH /usr/sbin:/usr/bin:/sbin:/bin --setenv HOME /root --setenv PORTCHECK_CLEAN_ROOT 1 \
  ${SOURCE_DATE_EPOCH:+--setenv SOURCE_DATE_EPOCH "$SOURCE_DATE_EPOCH"} --chdir /src "$@" </dev/null
