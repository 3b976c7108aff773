# Sourced by the scripts, from the top of the source tree.

# Building and running the Windows executable under Wine.
PORTCHECK_RUN_PACKAGES="cmake make g++ g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64"
# Everything the test suite uses.
PORTCHECK_TEST_PACKAGES="$PORTCHECK_RUN_PACKAGES googletest libgtest-dev python3 python3-pefile
  clang libclang-rt-14-dev clang-format clang-tidy"

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
    echo "  apt-get update && apt-get install -y$missing"
    exit 1
  fi
  echo "Installing:$missing"
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
