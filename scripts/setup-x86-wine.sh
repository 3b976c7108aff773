#!/bin/sh
# Makes, once, the 32-bit Wine for the x86 tests (docs/testing.md): a Debian
# root with amd64 and i386 Wine from one index (no version skew; this
# machine stays amd64 only), and qemu-i386 under binfmt_misc where the kernel
# runs no 32-bit program (PORTCHECK_X86_EMULATE=1: on any machine). Needs root
# the first time and after a restart; a stopped setup leaves no half-made root.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
dir=$PORTCHECK_X86_WINE
binfmt=/proc/sys/fs/binfmt_misc

emulate=${PORTCHECK_X86_EMULATE:-}
if x86_wine_ready && { [ -z "$emulate" ] || [ -e $binfmt/portcheck-i386 ]; }; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "setup-x86-wine: the 32-bit Wine for the x86 tests is not set up; run, as root:" >&2
  echo "  sh scripts/setup-x86-wine.sh" >&2
  exit 1
fi
ensure_packages mmdebstrap bubblewrap
mkdir -p "$dir"
trap 'rm -rf "$dir/root.new" "$dir/apt" "$dir/qemu-i386.new"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

sources=$(debian_sources bookworm) || exit 2

if [ ! -x "$dir/root/usr/lib/wine/wine" ] || [ ! -x "$dir/root/usr/lib/wine/wine64" ]; then
  echo "Making a Debian root with 32- and 64-bit Wine for the x86 tests (a few minutes, 1.5 GB)..." >&2
  rm -rf "$dir/root.new"
  mmdebstrap --quiet --variant=apt --architectures=amd64,i386 \
    --include=wine,wine64,wine32:i386,libwine,libwine:i386 \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
    bookworm "$dir/root.new" - <<EOF >"$dir/mmdebstrap.log" 2>&1 || {
$sources
EOF
    tail -n 20 "$dir/mmdebstrap.log" >&2
    echo "setup-x86-wine: mmdebstrap could not make the root" >&2
    exit 1
  }
  rm -rf "$dir/root"
  mv "$dir/root.new" "$dir/root"
fi

# The root's own dynamic loader tells whether this kernel starts i386 programs.
if { [ -n "$emulate" ] || ! x86_runs_natively; } && [ ! -e $binfmt/portcheck-i386 ]; then
  if [ ! -x "$dir/qemu-i386" ]; then
    echo "Fetching QEMU's i386 emulator for 32-bit programs..." >&2
    # bookworm's QEMU 7.2 runs Wine too, but needs about a minute of CPU for
    # each program start; the backport takes a third of a second.
    deb=$(fetch_deb qemu-user bookworm-backports "$dir/apt") || exit 1
    dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/bin/qemu-i386 >"$dir/qemu-i386.new"
    chmod 755 "$dir/qemu-i386.new"
    mv "$dir/qemu-i386.new" "$dir/qemu-i386"
  fi
  mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt
  # i386 ELF executables and shared objects. Flag F opens the emulator now, so
  # that it is found inside bwrap's view of the file system too.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf '%s' ":portcheck-i386:M::$magic:$mask:$dir/qemu-i386:F" >$binfmt/register
fi

x86_wine_ready || {
  echo "setup-x86-wine: the root's Wine does not start on this machine" \
    "(it needs bwrap, and binfmt_misc where the kernel runs no 32-bit program)" >&2
  exit 1
}
echo "The 32-bit Wine for the x86 tests is ready in $dir." >&2
