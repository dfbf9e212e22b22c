#!/usr/bin/env bash
# Profiles one tarnix-over-NATS producer/consumer pair (mamaproducerc_v2 ->
# mamaconsumerc_v2, 10-field updates) on a nats-server started here:
# perf call graphs of both processes, their threads, context switches and
# CPU per delivered message.
#
#   bench/e2e/profile.sh BUILD_DIR [RATE] [SECONDS] [OUT_DIR]
#
# RATE msg/s (0, the default, is as fast as the producer goes); SECONDS
# profiled (5) after a 2 s warm-up. OUT_DIR (a new temporary directory by
# default) keeps perf-prod.data, perf-cons.data and summary.txt; the summary
# is printed too. Everything on 127.0.0.1; every process started here is
# stopped by its id.
set -uo pipefail
build="$(cd "${1:?usage: profile.sh BUILD_DIR [RATE] [SECONDS] [OUT_DIR]}" && pwd)"
rate=${2:-0}
secs=${3:-5}
out="${4:-$(mktemp -d "${TMPDIR:-/tmp}/bench-profile.XXXXXX")}"
mkdir -p "$out"
. "$build/env.sh"
BIN="$build/bin"
command -v perf >/dev/null || { echo "profile: perf missing" >&2; exit 1; }

pids=()
cleanup() { local p; for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done; wait 2>/dev/null; }
trap cleanup EXIT
spawn() { local name=$1; shift; "$@" >"$out/$name.out" 2>"$out/$name.err" & SPAWNED=$!; pids+=("$SPAWNED"); }
wait_for() { local end=$((SECONDS + $3)); until grep -qE -- "$2" "$1" 2>/dev/null; do ((SECONDS >= end)) && return 1; sleep 0.05; done; }

port=$("$BIN/benchutil" port)
spawn nats nats-server -a 127.0.0.1 -p "$port"
wait_for "$out/nats.err" 'Server is ready' 20 || { echo "profile: nats-server did not start" >&2; exit 1; }
{
  for t in pub sub; do
    echo "mama.tarnix.transport.$t.SESSION_HOST=nats://127.0.0.1:$port"
    echo "mama.tarnix.transport.$t.allow_recover_gaps=true"
  done
} >"$out/mama.properties"
export WOMBAT_PATH="$out"
mdgen tarnixmsg 10 BENCH 20000 "$out/tarnix-10.pb" >/dev/null 2>&1

spawn cons mamaconsumerc_v2 -m tarnix -tport sub -s BENCH -stats -t 1
cons=$SPAWNED
wait_for "$out/cons.out" 'TIME +RATE' 30 || true
sleep 0.5
pcmd=(mamaproducerc_v2 -m tarnix -tport pub -s BENCH -playback "$out/tarnix-10.pb" -rewind -1 -t 1)
[ "$rate" != 0 ] && pcmd+=(-target "$rate" -rt)
spawn prod "${pcmd[@]}"
prod=$SPAWNED
sleep 2

ratere='^[0-9]{4}/[0-9]{2}/[0-9]{2} - [0-9:]{8} +[0-9]+'
# Summed over the process's threads (its status file counts the main one).
ctx() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt_switches/ {v += $2} /^nonvoluntary_ctxt_switches/ {n += $2} END {print v + 0, n + 0}'; }
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
thr() { awk '/^Threads:/ {print $2}' "/proc/$1/status"; }

n0=$(wc -l <"$out/cons.out")
read -r pv0 pn0 < <(ctx "$prod"); read -r cv0 cn0 < <(ctx "$cons")
pc0=$(cpu "$prod"); cc0=$(cpu "$cons")
perf record -g -o "$out/perf-prod.data" -p "$prod" -- sleep "$secs" >/dev/null 2>"$out/perf-prod.err" &
pp=$!
perf record -g -o "$out/perf-cons.data" -p "$cons" -- sleep "$secs" >/dev/null 2>"$out/perf-cons.err" &
pcs=$!
# System calls, and futex calls (wake-ups and waits) among them.
events=raw_syscalls:sys_enter,syscalls:sys_enter_futex
perf stat -x, -e "$events" -o "$out/stat-prod.txt" -p "$prod" -- sleep "$secs" 2>/dev/null &
sp=$!
perf stat -x, -e "$events" -o "$out/stat-cons.txt" -p "$cons" -- sleep "$secs" 2>/dev/null &
sc=$!
wait "$pp" "$pcs" "$sp" "$sc"
n1=$(wc -l <"$out/cons.out")
read -r pv1 pn1 < <(ctx "$prod"); read -r cv1 cn1 < <(ctx "$cons")
pc1=$(cpu "$prod"); cc1=$(cpu "$cons")
pt=$(thr "$prod"); ct=$(thr "$cons")
kill -INT "$prod" "$cons" 2>/dev/null
sleep 1

msgs=$(sed -n "$((n0 + 1)),${n1}p" "$out/cons.out" | grep -oE -- "$ratere" | awk '{s += $NF} END {print s + 0}')
hz=$(getconf CLK_TCK)
per() { awk -v a="$1" -v m="$msgs" 'BEGIN {if (m > 0) printf "%.3f", a / m; else print "-"}'; }
us() { awk -v t="$1" -v hz="$hz" -v m="$msgs" 'BEGIN {if (m > 0) printf "%.2f", t / hz * 1e6 / m; else print "-"}'; }
# top SIDE: the hottest symbols (self time) and the kernel's share of samples.
top() {
  perf report -i "$out/perf-$1.data" --no-children --sort dso,sym --percent-limit 1.5 --stdio 2>/dev/null |
    grep -E '^ +[0-9.]+%' | head -18
  perf report -i "$out/perf-$1.data" --no-children --sort dso --stdio 2>/dev/null |
    awk '/\[kernel/ {k += $1} END {printf "kernel share of samples: %.1f%%\n", k}'
  printf 'samples by thread:'
  perf report -i "$out/perf-$1.data" --no-children --sort pid --stdio 2>/dev/null |
    awk '/^ +[0-9.]+%/ && n < 6 {printf " %s", $1; n++} END {print ""}'
}
{
  echo "rate ${rate:-0} msg/s (0: flat out), ${secs} s profiled; delivered $msgs messages ($((msgs / secs)) msg/s)"
  echo "threads: producer $pt, consumer $ct"
  echo "context switches per message (voluntary+involuntary): producer $(per $((pv1 - pv0 + pn1 - pn0))) ($((pv1 - pv0))+$((pn1 - pn0))), consumer $(per $((cv1 - cv0 + cn1 - cn0))) ($((cv1 - cv0))+$((cn1 - cn0)))"
  echo "CPU µs per message: producer $(us $((pc1 - pc0))), consumer $(us $((cc1 - cc0)))"
  for side in prod cons; do
    read -r sys fut < <(awk -F, '$3 ~ /raw_syscalls/ {s = $1} $3 ~ /futex/ {f = $1} END {print s + 0, f + 0}' "$out/stat-$side.txt")
    echo "system calls per message, $side: $(per "$sys") (futex $(per "$fut"))"
  done
  echo
  echo "== producer, hottest symbols (self)"
  top prod
  echo
  echo "== consumer, hottest symbols (self)"
  top cons
} | tee "$out/summary.txt"
echo "profile: data in $out" >&2
