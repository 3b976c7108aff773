#!/bin/sh
#   scripts/test-on.sh SUITE
# The README's commands as a new user runs them on a fresh minimal Debian
# SUITE (bookworm, trixie, ...): scripts/run.sh, scripts/demo.sh and
# scripts/test.sh, started from / in a clone of this checkout's commit whose
# path holds a space. 0 when each does what README.md says, 1 when one does
# not, 2 when it cannot run. Needs root; docs/testing.md says when to run it.
set -eu
case $#:${1:-} in
  1:[a-z]*) suite=$1 ;;
  *) echo "usage: scripts/test-on.sh SUITE (a Debian release's code name: bookworm, trixie)" >&2
     exit 2 ;;
esac
case $suite in
  *[!a-z]*) echo "usage: scripts/test-on.sh SUITE (a Debian release's code name)" >&2; exit 2 ;;
esac
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
require_root test-on "sh scripts/test-on.sh $suite"
ensure_packages mmdebstrap bubblewrap git
# On disk, not in a memory-backed /tmp: the root grows to several GB.
work=$(mktemp -d "${TMPDIR:-/var/tmp}/portcheck-test-on.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "test-on: making a fresh minimal Debian $suite root (a minute or two)..." >&2
debian_sources "$suite" >"$work/sources" || exit 2
mmdebstrap --quiet --variant=minbase --include=git,ca-certificates "$suite" "$work/root" - \
  <"$work/sources" >"$work/mmdebstrap.log" 2>&1 || {
  tail -n 20 "$work/mmdebstrap.log" >&2
  echo "test-on: mmdebstrap could not make a Debian $suite root" >&2
  exit 2
}
# What a machine on this network needs to reach the archive and the npm
# registry: the resolver, the CA certificates this machine adds (a network
# that inspects TLS signs with its own), and apt's settings for fetching.
cat /etc/resolv.conf >"$work/root/etc/resolv.conf"
# Every certificate of this machine's bundle that the root's lacks becomes one
# of the root's own, which update-ca-certificates adds to its bundle.
awk -v out="$work/root/usr/local/share/ca-certificates" '
  FNR == 1 { file++ }
  /-----BEGIN CERTIFICATE-----/ { block = "" }
  { block = block $0 "\n" }
  /-----END CERTIFICATE-----/ { if (file == 1) known[block] = 1
    else if (!(block in known)) { n++; f = out "/host-" n ".crt"; printf "%s", block > f; close(f) } }
' "$work/root/etc/ssl/certs/ca-certificates.crt" /etc/ssl/certs/ca-certificates.crt
apt-config dump Acquire >"$work/root/etc/apt/apt.conf.d/00acquire-as-on-the-host"
checkout="/root/port check"
git clone --quiet --no-hardlinks "$top" "$work/root$checkout"
enter() {
  bwrap --bind "$work/root" / --dev /dev --proc /proc --die-with-parent --clearenv \
    --setenv PATH /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    --setenv HOME /root --setenv LANG C.UTF-8 \
    ${PORTCHECK_X86_EMULATE:+--setenv PORTCHECK_X86_EMULATE "$PORTCHECK_X86_EMULATE"} \
    --chdir / "$@" </dev/null
}
enter update-ca-certificates >/dev/null 2>&1

# Each command as README.md shows it; what it must print last, and its status.
failed=0
for step in "run.sh:1:Found 0 Zelnar Debug Probes Connected" \
  "demo.sh:0:Found 4 Zelnar Debug Probes Connected" "test.sh:0:All test suites passed."; do
  command=${step%%:*} rest=${step#*:}
  want=${rest%%:*} last=${rest#*:}
  echo "test-on: $suite: $checkout/scripts/$command, from /..." >&2
  started=$(date +%s)
  { status=0
    enter "$checkout/scripts/$command" 2>&1 || status=$?
    echo $status >"$work/status"; } | tee "$work/output"
  status=$(cat "$work/status")
  # The program ends its lines with CR LF, as on Windows.
  said=$(tr -d '\r' <"$work/output" | grep -v '^(exit status' | grep . | tail -n 1)
  verdict="as README.md says"
  if [ "$status" != "$want" ] || [ "$said" != "$last" ]; then
    verdict="FAILED: README.md says status $want and last \"$last\""
    failed=1
  fi
  echo "test-on: $suite: scripts/$command: status $status, last \"$said\", in" \
    "$(($(date +%s) - started)) s: $verdict" | tee -a "$work/summary" >&2
done
echo "test-on: summary for Debian $suite:" >&2
cat "$work/summary" >&2
exit $failed
