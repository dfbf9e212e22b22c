#!/usr/bin/env bash
# Runs the payload benchmark from BUILD_DIR and prints a markdown table of
# median CPU times per operation, the speed-up of tarnixmsg over qpidmsg,
# and heap allocations per operation.
#   bench/payload/run.sh BUILD_DIR [extra Google Benchmark flags]
set -euo pipefail
build="${1:?usage: run.sh BUILD_DIR}"
shift
build="$(cd "$build" && pwd)"
# shellcheck source=scripts/openmama.env
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/openmama.env"
openmama="${OPENMAMA_ROOT:-$OPENMAMA_PREFIX}"
bin="$build/bin/payload_bench"
[ -x "$bin" ] || { echo "run.sh: $bin not built" >&2; exit 1; }

csv="$(mktemp)"
trap 'rm -f "$csv"' EXIT
LD_LIBRARY_PATH="$build/lib:$openmama/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
WOMBAT_PATH="$build/etc" \
  "$bin" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
         --benchmark_format=csv "$@" >"$csv" 2>/dev/null

awk -F, '
  /^name,/ { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); col[h] = i }; next }
  # Median rows: "Op/payload_median",iterations,real,cpu,unit,...,counters
  /_median"/ {
    name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
    split(name, p, "/"); op = p[1]; pl = p[2]
    if (!(op in seen)) { order[++n] = op; seen[op] = 1 }
    t[op, pl] = $col["cpu_time"]; unit[op] = $col["time_unit"]
    a[op, pl] = $col["allocs/op"]; b[pl] = $col["bytes"]
  }
  END {
    desc["BuildSerialize"] = "build + serialize"; desc["Decode"] = "decode into a reused message"
    desc["IterateFields"] = "iterate all fields"; desc["GetFiveByFid"] = "get five fields by fid"
    print "| operation | tarnixmsg | qpidmsg | speed-up | allocations/op (tarnixmsg / qpidmsg) |"
    print "| --- | ---: | ---: | ---: | --- |"
    for (i = 1; i <= n; i++) {
      op = order[i]; x = t[op, "tarnixmsg"]; y = t[op, "qpidmsg"]
      printf "| %s | %.0f %s | %.0f %s | %.1fx | %.0f / %.0f |\n", (op in desc) ? desc[op] : op, x, unit[op], y, unit[op], y / x, a[op, "tarnixmsg"], a[op, "qpidmsg"]
    }
    printf "\nMessage: %d bytes tarnixmsg, %d bytes qpidmsg; median CPU time of 5 runs.\n", b["tarnixmsg"], b["qpidmsg"]
  }' "$csv"
