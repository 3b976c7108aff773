#!/bin/sh
# Runs a GoogleTest program, under the emulator named before it if any, and
# passes only when the program ran to its end and said so: status 0 and
# GoogleTest's closing "[  PASSED  ] N tests." with no failure listed. Under
# Wine a program that dies part-way can still leave status 0; then only the
# missing summary tells.
log=$(mktemp) || exit 1
trap 'rm -f "$log"' EXIT
"$@" >"$log" 2>&1 </dev/null
status=$?
cat "$log"
if [ "$status" -ne 0 ]; then
  echo "gtest_complete: the program's exit status was $status"
  exit 1
fi
# Under Wine the lines end in CR LF.
if ! grep -Eq '^\[  PASSED  \] [1-9][0-9]* tests?\.' "$log" || grep -q '^\[  FAILED  \]' "$log"; then
  echo "gtest_complete: no GoogleTest summary of passed tests; the program did not finish"
  exit 1
fi
