#!/usr/bin/env bash
# Builds and runs every benchmark (bench/*/run.sh), keeps each table in
# bench/results/<area>.md, and rewrites the README's results section from
# them, with the machine and the date of this run. BENCH_AREAS (e.g. "e2e")
# runs only those areas; the README then keeps the others' last tables.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh"
"$here/scripts/build.sh" >/dev/null
. "$here/build/env.sh"
results="$here/bench/results"
mkdir -p "$results"
start=$SECONDS
ran=0
for runner in "$here"/bench/*/run.sh; do
  [ -x "$runner" ] || continue
  area=$(basename "$(dirname "$runner")")
  [ -z "${BENCH_AREAS:-}" ] || [[ " $BENCH_AREAS " == *" $area "* ]] || continue
  echo "== $area"
  if [ "$area" = e2e ] || [ "$area" = cache ]; then
    "$runner" "$here/build" # writes bench/results/$area.md (and plots) itself
  else
    "$runner" "$here/build" | tee "$results/$area.md"
  fi
  ran=1
done
[ "$ran" = 1 ] || { echo "bench: no benchmarks yet"; exit 0; }

# ---- README --------------------------------------------------------------------
# The e2e report without its title, preamble and overload time series; its
# headings one level down, its pictures relative to the README.
e2e_tables() {
  awk '
    /^## / { on = 1 }
    /^\| t s \|/ { skip = 1 }
    skip && !/^\|/ { skip = 0 }
    on && !skip {
      sub(/^## /, "#### ")
      gsub(/\]\(e2e-/, "](bench/results/e2e-")
      print
    }' "$results/e2e.md"
}

section="$(mktemp)"
trap 'rm -f "$section"' EXIT
{
  cpu=$(awk -F: '/model name/ {gsub(/^ +/, "", $2); print $2; exit}' /proc/cpuinfo)
  mem=$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)
  commit=$(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo unknown)
  echo "<!-- bench:begin (written by scripts/bench.sh; edits here are overwritten) -->"
  echo "Last run: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit, $((SECONDS - start)) s."
  echo "Machine: $cpu, $(nproc) cores, $mem, Linux $(uname -r); load average at the end $(cut -d' ' -f1-3 /proc/loadavg)."
  echo
  if [ -s "$results/payload.md" ]; then
    echo "### Payload: tarnixmsg against OpenMAMA's qpidmsg"
    echo
    echo "The same 20-field market-data message and 50-field update through OpenMAMA's \`mamaMsg\` API, both payloads in one run (\`bench/payload/run.sh\`; details in [bench/payload/README.md](bench/payload/README.md)):"
    echo
    cat "$results/payload.md"
    echo
  fi
  if [ -s "$results/e2e.md" ]; then
    echo "### End to end through OpenMAMA"
    echo
    echo "\`bench/e2e/run.sh\`; how each figure is taken, and the overload time series, in [bench/results/e2e.md](bench/results/e2e.md)."
    echo
    e2e_tables
    echo
    # Profiles before and after a change to the paths: hand-written, kept.
    if [ -s "$results/e2e-profile.md" ]; then
      sed '1s/^# /#### /' "$results/e2e-profile.md"
      echo
    fi
  fi
  if [ -s "$results/trxclient.md" ]; then
    echo "### Client library"
    echo
    echo "\`bench/trxclient/run.sh\`: publish → callback between two sessions, raw libnats against our backends:"
    cat "$results/trxclient.md"
    echo
  fi
  if [ -s "$results/cache.md" ]; then
    echo "### The cache on a 3-node cluster"
    echo
    echo "\`bench/cache/run.sh\`; failover, a restart of every node and what capture costs publishers, in [bench/results/cache.md](bench/results/cache.md)."
    echo
  fi
  echo "<!-- bench:end -->"
} >"$section"
readme="$here/README.md"
if grep -q '^<!-- bench:begin' "$readme" && grep -q '^<!-- bench:end -->' "$readme"; then
  awk -v f="$section" '
    /^<!-- bench:begin/ { while ((getline line < f) > 0) print line; skip = 1; next }
    /^<!-- bench:end -->/ { skip = 0; next }
    !skip' "$readme" >"$readme.new" && mv "$readme.new" "$readme"
  echo "bench: README results section rewritten ($((SECONDS - start)) s in all)"
else
  echo "bench: README has no bench:begin/bench:end markers; results left in $results" >&2
fi
