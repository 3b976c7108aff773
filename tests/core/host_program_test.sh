#!/bin/sh
# The host program over the stand-in platform: whatever its arguments, only the
# version gate's message on stdout, nothing on stderr, and status -1 (255).
program=$1
expected='CleanUp:  Unable to verify Windows version, exiting...'
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failed=0
passed=0
check() {
  "$program" "$@" >"$work/out" 2>"$work/err" </dev/null
  status=$?
  printf '%s\n' "$expected" >"$work/want"
  if [ "$status" -eq 255 ] && cmp -s "$work/out" "$work/want" && [ ! -s "$work/err" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED with arguments [$*]: status $status"
    od -c "$work/out" | head -n 5
    cat "$work/err"
  fi
}
check
check --help
check -v /? ""
check "$(printf 'COM7\tZelnar Debug Probe\001\377')" '%s%n%x' -- '*'
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
