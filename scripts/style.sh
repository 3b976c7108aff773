#!/bin/sh
# Style gates over the project's own sources: clang-format must leave them as
# they are, and clang-tidy and pyflakes must find nothing. Reads the compile
# commands of the host-asan and windows builds, so run it after those are
# configured.
set -eu
cd "$(dirname "$0")/.."

sources=$(git ls-files '*.cpp' '*.h')
clang-format --dry-run --Werror $sources
echo "clang-format: $(echo "$sources" | wc -l) files formatted"

windows_sources=$(git ls-files 'platform/windows/*.cpp' 'tests/windows/*.cpp' 'bench/*.cpp')
host_sources=$(git ls-files '*.cpp' | grep -v -e '^platform/windows/' -e '^tests/windows/' -e '^bench/')
# The two builds side by side, one core each.
clang-tidy -p build/host-asan --quiet $host_sources 2>/dev/null &
host=$!
# clang reads the mingw-w64 build's commands, given that toolchain's C++ headers.
cxx=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++ | tail -n 1)
clang-tidy -p build/windows --quiet --extra-arg=--target=x86_64-w64-mingw32 \
  --extra-arg=-isystem"$cxx" --extra-arg=-isystem"$cxx/x86_64-w64-mingw32" \
  $windows_sources 2>/dev/null
wait $host
echo "clang-tidy: no warnings in $(echo $host_sources $windows_sources | wc -w) files"

# Python: pyflakes (Debian's pyflakes3) finds unused and undefined names.
python_sources=$(git ls-files '*.py')
pyflakes3 $python_sources
echo "pyflakes: no warnings in $(echo "$python_sources" | wc -l) files"

# Documents: every path in the checkout that the notes and docs/ name exists.
missing=$(cat DEVELOPERS.md README.md docs/*.md release/README.md verify/README.md |
  grep -o '`[^` ]*`' | tr -d '`' |
  grep -E '^(portcheck|platform|tests|fuzz|bench|release|verify|docs|cmake|scripts|\.ci)/[^<*]*$' |
  sort -u | while read -r path; do [ -e "$path" ] || echo "$path"; done)
if [ -n "$missing" ]; then
  echo "documents name paths that do not exist:" $missing >&2
  exit 1
fi
echo "documents: every path they name exists"

# And every command their code blocks show starts something that is there: a
# script of scripts/, a module given to -m, a test file given to unittest.
blocks=$(cat DEVELOPERS.md README.md docs/*.md release/README.md verify/README.md |
  awk '/^```/ { inside = !inside; next } inside')
missing=$( { echo "$blocks" | grep -oE 'scripts/[A-Za-z0-9_.-]+\.sh'
  echo "$blocks" | grep -oE -- '-m (release|verify|tests)(\.[A-Za-z0-9_]+)+' |
    sed 's/^-m //; s,\.,/,g; s/$/.py/'
  echo "$blocks" | sed -n "s/.*-s \([^ ]*\) -p '\{0,1\}\(test_[A-Za-z0-9_]*\.py\).*/\1\/\2/p"
  } | sort -u | while read -r path; do [ -e "$path" ] || echo "$path"; done)
if [ -n "$missing" ]; then
  echo "documents show commands that start nothing here:" $missing >&2
  exit 1
fi
echo "documents: every command they show starts a file that exists"
