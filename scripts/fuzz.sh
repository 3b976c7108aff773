#!/bin/sh
# Open-ended fuzzing of the probe report: a random seed, for the given number
# of seconds (default 600), under the sanitizers. New inputs collect in
# build/host-asan/fuzz/open-ended/corpus; a finding is written there as
# crash-* and ends the run with a non-zero status. The test suite's own fuzz
# run is fixed and repeatable; keep a finding by copying it into fuzz/corpus.
set -eu
cd "$(dirname "$0")/.."
. scripts/common.sh
ensure_packages cmake make clang libclang-rt-dev googletest libgtest-dev
seconds=${1:-600}
cmake --preset host-asan >/dev/null
cmake --build --preset host-asan --target probe_report_fuzzer >/dev/null
work=build/host-asan/fuzz/open-ended
mkdir -p "$work/corpus"
exec build/host-asan/fuzz/probe_report_fuzzer -max_total_time="$seconds" -max_len=4096 \
  -timeout=60 -dict=fuzz/names.dict -artifact_prefix="$work/" "$work/corpus" fuzz/corpus
