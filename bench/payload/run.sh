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
  # Median rows: "Op/payload/fields_median",iterations,real,cpu,unit,...,counters
  /_median"/ {
    name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
    split(name, p, "/"); op = p[1]; pl = p[2]; k = op "/" p[3]
    if (!(k in seen)) { order[++n] = k; fields[k] = p[3]; opOf[k] = op; seen[k] = 1 }
    t[k, pl] = $col["cpu_time"]; unit[k] = $col["time_unit"]
    a[k, pl] = $col["allocs/op"]; b[pl, p[3]] = $col["bytes"]
    if (!(p[3] in sized)) { sizes[++m] = p[3]; sized[p[3]] = 1 }
  }
  END {
    desc["BuildSerialize"] = "build + serialize"; desc["Decode"] = "decode into a reused message"
    desc["IterateFields"] = "iterate all fields"; desc["GetFiveByFid"] = "get five fields by fid"
    print "| operation | fields | tarnixmsg | qpidmsg | speed-up | allocations/op (tarnixmsg / qpidmsg) |"
    print "| --- | ---: | ---: | ---: | ---: | --- |"
    for (i = 1; i <= n; i++) {
      k = order[i]; op = opOf[k]; x = t[k, "tarnixmsg"]; y = t[k, "qpidmsg"]
      printf "| %s | %s | %.0f %s | %.0f %s | %.1fx | %.0f / %.0f |\n", (op in desc) ? desc[op] : op, fields[k], x, unit[k], y, unit[k], y / x, a[k, "tarnixmsg"], a[k, "qpidmsg"]
    }
    printf "\nMessages:"
    for (j = 1; j <= m; j++)
      printf "%s %s fields %d bytes tarnixmsg, %d bytes qpidmsg", (j > 1 ? ";" : ""), sizes[j], b["tarnixmsg", sizes[j]], b["qpidmsg", sizes[j]]
    printf "; median CPU time of 5 runs.\n"
  }' "$csv"
# The machine and the date, for the table read on its own.
cpu=$(awk -F: '/model name/ {gsub(/^ +/, "", $2); print $2; exit}' /proc/cpuinfo)
echo
echo "Run $(date -u '+%Y-%m-%d %H:%M UTC') on $cpu, $(nproc) cores, Linux $(uname -r); load average $(cut -d' ' -f1-3 /proc/loadavg)."
