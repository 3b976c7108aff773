#!/bin/sh
# Checks a downloaded release file (the zip or an MSI), signed or unsigned,
# against what this checkout, or a commit of it, builds:
#   scripts/verify-release.sh [--commit COMMIT] [--ca-file FILE] DOWNLOAD [REFERENCE-ZIP]
# Makes the reference with scripts/release.sh from a clean export of the
# checkout's commit (its tracked files as they stand: a change to one is
# recorded as an uncommitted change, an untracked file, such as the download
# itself saved here, is left out), or of COMMIT, built with that commit's own
# build files and compared by this checkout's checks; unless a reference zip
# is given (messages then name that file).
# With --ca-file (PEM or DER certificates, one or a bundle: a company's
# issuing CA, or the roots the user trusts, timestamping roots included),
# every signer must chain to one of them for code signing, and an unsigned
# file is NOT VERIFIED; without it, who signed is a claim. Prints what it found and a verdict. Exit status: 0 VERIFIED, 1 NOT
# VERIFIED, 2 a file that is no readable release file (a FIFO, device or
# folder included), a commit this repository lacks, or a wrong usage.
# Writes nothing into the checkout, nothing outside its temporary folder.
set -eu
usage() {
  echo "usage: scripts/verify-release.sh [--commit COMMIT] [--ca-file FILE] DOWNLOAD" \
    "[REFERENCE-ZIP]" >&2
  exit 2
}
commit=""
ca=""
while [ $# -ge 2 ]; do
  case $1 in
    # An empty value (an unset variable) would silently check less.
    --commit) [ -z "$commit" ] && [ -n "$2" ] || usage; commit=$2 ;;
    --ca-file) [ -z "$ca" ] && [ -n "$2" ] || usage; ca=$2 ;;
    *) break ;;
  esac
  shift 2
done
case $# in
  1|2) ;;
  *) usage ;;
esac
case $1$commit in
  -*) usage ;;
esac
case $ca in
  -*) usage ;;
esac
[ -z "$commit" ] || [ $# -eq 1 ] || usage
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/common.sh"
ensure_packages $PORTCHECK_VERIFY_PACKAGES
verify() {
  if [ -n "$ca" ]; then
    /usr/bin/python3 -B "$top/verify/verify_release.py" --ca-file "$ca" "$@"
  else
    /usr/bin/python3 -B "$top/verify/verify_release.py" "$@"
  fi
}
# Anything but a regular file is refused before a minute is spent building:
# a FIFO would block the reader for ever.
for file in "$@"; do
  verify --regular "$file" || exit 2
done
if [ $# -eq 2 ]; then
  verify --named reference "$1" "$2" "$top"
  exit
fi
git_here() {
  git --no-optional-locks -C "$top" "$@"
}
if [ -n "$commit" ]; then
  case $commit in
    *[!0-9A-Za-z._/~^-]*) usage ;;
  esac
  wanted=$(git_here rev-parse --verify -q "$commit^{commit}" 2>/dev/null) || {
    echo "verify-release: this repository has no commit $commit (git fetch may bring it)" >&2
    exit 2
  }
else
  wanted=$(git_here rev-parse --verify -q "HEAD^{commit}") || {
    echo "verify-release: $top is not a git checkout with a commit to build" >&2
    exit 2
  }
fi
work=$(mktemp -d 2>/dev/null) || {
  echo "verify-release: no temporary folder can be made in ${TMPDIR:-/tmp}; set TMPDIR to a" \
    "folder that can be written" >&2
  exit 2
}
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# A clone that borrows this repository's objects: nothing is written here.
git clone -q --shared --no-checkout "$top" "$work/src" 2>"$work/clone.log" &&
  git -C "$work/src" checkout -q --detach "$wanted" 2>>"$work/clone.log" || {
  cat "$work/clone.log" >&2
  echo "verify-release: commit $wanted could not be exported" >&2
  exit 2
}
if [ -z "$commit" ]; then
  # The tracked files as they stand, changed or deleted, so that the release
  # records them as uncommitted changes.
  git_here diff --name-only -z HEAD | xargs -0 -r sh -c '
    from=$0 to=$1
    shift
    for name; do
      if [ -e "$from/$name" ]; then
        mkdir -p "$(dirname "$to/$name")" && cp -p "$from/$name" "$to/$name"
      else
        rm -f "$to/$name"
      fi
    done' "$top" "$work/src"
fi
echo "Building the release of commit $wanted to compare with (about a minute)..." >&2
sh "$work/src/scripts/release.sh" "$work/out" >"$work/release.log" 2>&1 </dev/null || {
  tail -n 20 "$work/release.log" >&2
  echo "verify-release: the release of commit $wanted could not be built" >&2
  exit 2
}
verify ${commit:+--named commit} "$1" "$(tail -n 1 "$work/release.log")" "$work/src"
