# Sourced by the scripts, from the top of the source tree.

# Building and running the Windows executable under Wine.
PORTCHECK_RUN_PACKAGES="cmake make g++ g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64"
# Building both executables, the release zip and the Windows Installer
# packages: no Wine, no host compiler (the clean rebuild installs just these).
PORTCHECK_RELEASE_PACKAGES="cmake make g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  g++-mingw-w64-i686 binutils-mingw-w64-i686 python3 git wixl python3-gi gir1.2-libmsi-1.0"
# Signing a release, and checking one against this checkout's build.
PORTCHECK_SIGN_PACKAGES="$PORTCHECK_RELEASE_PACKAGES osslsigncode"
PORTCHECK_VERIFY_PACKAGES="$PORTCHECK_RELEASE_PACKAGES osslsigncode openssl"
# The independent rebuild in a minimal Debian root, without network.
PORTCHECK_REBUILD_PACKAGES="$PORTCHECK_RELEASE_PACKAGES mmdebstrap bubblewrap"
# Everything the test suite uses: the above, the 32-bit Wine that runs the x86
# build (in the same prefixes as the 64-bit one), the tools that read the
# packages and manifests. (npm, for CycloneDX's own schema, is the test
# command's to find: Debian's npm conflicts with a Node.js installed from
# elsewhere, which brings its own.)
PORTCHECK_TEST_PACKAGES="$PORTCHECK_RUN_PACKAGES $PORTCHECK_VERIFY_PACKAGES
  $PORTCHECK_REBUILD_PACKAGES wine32:i386 googletest libgtest-dev python3-pefile python3-yaml
  python3-jsonschema msitools clang libclang-rt-14-dev clang-format clang-tidy"

# Makes sure the Debian packages a command needs are installed. As root it
# installs what is missing; otherwise it prints the apt-get line to run and stops.
ensure_packages() {
  missing=""
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
      missing="$missing $package"
    fi
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Run, as root:"
    case $missing in
      *:i386*) echo "  dpkg --add-architecture i386" ;;
    esac
    echo "  apt-get update && apt-get install -y$missing"
    exit 1
  fi
  echo "Installing:$missing"
  case $missing in
    *:i386*) dpkg --add-architecture i386 ;;
  esac
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null && apt-get install -y -q $missing </dev/null >/dev/null || {
    echo "apt-get install failed for:$missing"
    exit 1
  }
}

# Configures the windows build and builds the given targets, quietly.
build_windows() {
  ensure_packages $PORTCHECK_RUN_PACKAGES
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target "$@" >/dev/null
}
