#!/usr/bin/env bash
# Builds and runs every test: the main build (unit, conformance and
# end-to-end suites), then the unit suites and the decoder fuzz smoke under
# AddressSanitizer + UndefinedBehaviorSanitizer. Exits non-zero on any failure.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc 2>/dev/null || echo 2)"

"$here/scripts/setup.sh"
echo "== formatting (.clang-format)"
(cd "$here" && git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror) ||
  { echo "test: run clang-format -i on the files above" >&2; exit 1; }
"$here/scripts/build.sh"
echo "== tests (build/)"
(cd "$here/build" && ctest --output-on-failure -j "$jobs" --timeout 900)

echo "== tests under ASan+UBSan (build-asan/)"
BUILD_DIR="$here/build-asan" CC=clang CXX=clang++ "$here/scripts/build.sh" \
  -DCMAKE_BUILD_TYPE=Debug -DTARNIX_SANITIZE=ON -DTARNIX_FUZZ=ON -DTARNIX_BENCH=OFF
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
(cd "$here/build-asan" && ctest --output-on-failure -j "$jobs" -L 'unit|fuzz' --timeout 900)
