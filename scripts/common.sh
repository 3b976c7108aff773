# Sourced by the scripts, from the top of the source tree.

# Building and running the Windows executable under Wine.
PORTCHECK_RUN_PACKAGES="cmake make g++ g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64"
# Building both executables, the release zip and the Windows Installer
# packages: no Wine, no host compiler (the clean rebuild installs just these).
PORTCHECK_RELEASE_PACKAGES="cmake make g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  g++-mingw-w64-i686 binutils-mingw-w64-i686 python3 git wixl python3-gi gir1.2-libmsi-1.0
  python3-yaml python3-pefile"
# Signing a release, and checking one against this checkout's build. The
# PKCS#11 engine is what osslsigncode's -pkcs11module loads on Debian; it does
# not depend on it.
PORTCHECK_SIGN_PACKAGES="$PORTCHECK_RELEASE_PACKAGES osslsigncode libengine-pkcs11-openssl"
PORTCHECK_VERIFY_PACKAGES="$PORTCHECK_RELEASE_PACKAGES osslsigncode openssl python3-asn1crypto python3-olefile"
# Judging one signature, with nothing rebuilt: no compiler, no maker.
PORTCHECK_CHECK_SIGNATURE_PACKAGES="python3 openssl python3-asn1crypto python3-olefile"
# The independent rebuild in a minimal Debian root, without network.
PORTCHECK_REBUILD_PACKAGES="$PORTCHECK_RELEASE_PACKAGES mmdebstrap bubblewrap"
# Everything the test suite uses besides (libclang-rt-dev: the runtime of the
# release's default clang, whatever its version). Not the 32-bit Wine: it has a root
# of its own (setup-x86-wine.sh). Nor npm: Debian's conflicts with a Node.js
# installed from elsewhere, so the test command installs it only when absent.
PORTCHECK_TEST_PACKAGES="$PORTCHECK_RUN_PACKAGES $PORTCHECK_VERIFY_PACKAGES
  mmdebstrap bubblewrap googletest libgtest-dev python3-pefile python3-yaml
  python3-jsonschema python3-cryptography msitools clang libclang-rt-dev clang-format clang-tidy pyflakes3
  libengine-pkcs11-openssl softhsm2"

# Outside the checkout, so that every clone on the machine reuses it.
PORTCHECK_X86_WINE=${PORTCHECK_X86_WINE:-/var/cache/portcheck/x86-wine}

# A command with the i386 root's /usr and /etc laid over this machine's.
x86_enter() {
  bwrap --dev-bind / / --ro-bind "$PORTCHECK_X86_WINE/root/usr" /usr \
    --ro-bind "$PORTCHECK_X86_WINE/root/etc" /etc -- "$@"
}

# Whether the kernel starts i386 programs (itself, or through an emulator).
x86_runs_natively() {
  "$PORTCHECK_X86_WINE/root/usr/lib/i386-linux-gnu/ld-linux.so.2" --version >/dev/null 2>&1
}

# Cheap: scripts/wine.sh asks it at every call.
x86_wine_present() {
  [ -x "$PORTCHECK_X86_WINE/root/usr/lib/wine/wine" ] && command -v bwrap >/dev/null
}

x86_wine_ready() {
  x86_wine_present && x86_enter /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Installs what is missing as root, or says what to run. An index that fails
# to update (a mirror mid-sync) is reported and the install tried anyway.
ensure_packages() {
  # One query for all: the checker starts this once per download it reads.
  installed=" $(dpkg-query -W -f='${Package}=${db:Status-Abbrev}\n' "$@" 2>/dev/null |
    sed -n 's/=ii *$//p' | tr '\n' ' ')"
  missing=""
  for package in $(printf '%s\n' "$@" | sort -u); do
    case $installed in
      *" $package "*) ;;
      *) missing="$missing $package" ;;
    esac
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Run, as root:"
    echo "  apt-get update && apt-get install -y$missing"
    exit 1
  fi
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  log=$(mktemp)
  apt-get update -q </dev/null >"$log" 2>&1 || {
    grep -E '^(E|W|Err):' "$log" | head -n 5
    echo "apt-get update failed for some index (shown above); installing from the lists there are"
  }
  if ! apt-get install -y -q $missing </dev/null >"$log" 2>&1; then
    grep -E '^(E|W):' "$log" || tail -n 20 "$log"
    rm -f "$log"
    echo "apt-get install failed for:$missing"
    exit 1
  fi
  rm -f "$log"
}

# For the commands that make a Debian root: status 2 unless run as root. NAME
# is the command's, COMMAND how to start it with sudo.
require_root() {
  [ "$(id -u)" -eq 0 ] && return 0
  echo "$1: run it as root: mmdebstrap makes the root's device files and bubblewrap" \
    "mounts it (sudo $2)" >&2
  exit 2
}

# The x64 executable alone, without the tests (and so without GoogleTest), in
# build/windows-app. Until its caller clears the trap, a failure exits 2: the
# program's own statuses are 0, 1 and -1, so a script can tell them apart.
build_windows() {
  trap 'exit 2' EXIT
  ensure_packages $PORTCHECK_RUN_PACKAGES
  cmake --preset windows-app >/dev/null
  cmake --build --preset windows-app --target "$@" >/dev/null
}

# This machine's Debian release by its code name (bookworm, trixie), which
# the release records and the clean rebuild makes its root of.
debian_suite() {
  sed -n 's/^VERSION_CODENAME=//p' /etc/os-release
}

# The URI of the Debian archive NAME (debian, debian-security) that this
# machine's apt reads, so that no host is named here; empty if it reads none.
debian_archive() {
  { sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null
    awk '$1 == "deb" { print ($2 ~ /^\[/) ? $3 : $2 }' /etc/apt/sources.list \
      /etc/apt/sources.list.d/*.list 2>/dev/null; } | tr ' ' '\n' | sed 's,/*$,,' |
    grep -m1 "/$1\$" || true
}

# apt's source line for SUITE of the Debian archive NAME, from those archives.
debian_source() {
  archive=$(debian_archive "$1")
  if [ -z "$archive" ]; then
    echo "no Debian archive ($1) in apt's sources to fetch from" >&2
    return 1
  fi
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive $2 main"
}

# apt's sources for Debian SUITE, its updates and (where this machine reads
# that archive) its security updates, for mmdebstrap's standard input.
debian_sources() {
  debian_source debian "$1" && debian_source debian "$1-updates" || return 1
  debian_source debian-security "$1-security" 2>/dev/null || true
}

# The .deb of PACKAGE in Debian SUITE (a backports suite, say), fetched into
# FOLDER with a private apt configuration, so that this machine's sources
# stay as they are; prints its path.
fetch_deb() {
  package=$1 suite=$2 folder=$3
  mkdir -p "$folder/lists/partial" "$folder/archives/partial"
  debian_source debian "$suite" >"$folder/sources.list" || return 1
  set -- -q -o Dir::Etc::sourcelist="$folder/sources.list" -o Dir::Etc::sourceparts=/dev/null \
    -o Dir::State::Lists="$folder/lists" -o Dir::Cache="$folder" \
    -o APT::Architectures::=amd64 -o APT::Sandbox::User=root
  apt-get "$@" update >"$folder/log" 2>&1 &&
    (cd "$folder" && apt-get "$@" download "$package/$suite") >>"$folder/log" 2>&1 || {
    cat "$folder/log" >&2
    echo "$package could not be fetched from $suite" >&2
    return 1
  }
  ls "$folder/${package}_"*.deb
}
