#!/usr/bin/env bash
# Runs the payload decoder fuzzer for SECONDS (default 60) under
# AddressSanitizer + UndefinedBehaviorSanitizer, keeping its corpus between
# runs, and prints libFuzzer's final statistics (executions reached).
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
build="${FUZZ_BUILD_DIR:-$here/build-asan}"

"$here/scripts/setup.sh"
BUILD_DIR="$build" CC=clang CXX=clang++ "$here/scripts/build.sh" \
  -DCMAKE_BUILD_TYPE=Debug -DTARNIX_SANITIZE=ON -DTARNIX_FUZZ=ON -DTARNIX_BENCH=OFF >/dev/null

fuzzer="$build/bin/payload_decode_fuzzer"
seeds="$build/tests/payload/fuzz-seeds"
large="$build/tests/payload/fuzz-seeds-large"
corpus="$build/tests/payload/fuzz-corpus"
artifacts="$build/tests/payload/fuzz-artifacts"
log="$build/tests/payload/fuzz.log"
mkdir -p "$corpus" "$artifacts"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# An input taking over 10 s, a process above 2 GB or one allocation above
# 64 MB (inputs stay under 1 MB) fails like a crash.
limits=(-timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=64 -artifact_prefix="$artifacts/")
echo "fuzz: payload decoder for ${seconds}s (log: $log)"
status=0
# The large seeds once each (they would slow the mutation a hundredfold),
# then the fuzzing.
"$fuzzer" "${limits[@]}" "$large"/* >"$log" 2>&1 || status=$?
if [ "$status" -eq 0 ]; then
  "$fuzzer" -max_total_time="$seconds" "${limits[@]}" -print_final_stats=1 \
    "$corpus" "$seeds" >>"$log" 2>&1 || status=$?
fi
grep -E '^(stat::|Done )|ERROR|SUMMARY' "$log" || true
if [ "$status" -ne 0 ]; then
  echo "fuzz: FAILED (exit $status); reproducer in $artifacts, see $log" >&2
  exit "$status"
fi
echo "fuzz: corpus $(ls "$corpus" | wc -l) inputs in $corpus"
