#!/usr/bin/env bash
# Builds and runs every benchmark; each bench/<area>/run.sh prints its table.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/build.sh" >/dev/null
. "$here/build/env.sh"
ran=0
for runner in "$here"/bench/*/run.sh; do
  [ -x "$runner" ] || continue
  echo "== $(basename "$(dirname "$runner")")"
  "$runner" "$here/build"
  ran=1
done
[ "$ran" = 1 ] || echo "bench: no benchmarks yet"
