#!/usr/bin/env bash
# End-to-end benchmark through OpenMAMA's stock performance tools:
#   throughput and one-way latency  mamaproducerc_v2 -> mamaconsumerc_v2
#   round trips                     mamapingpongc (requester and responder)
# for tarnix over NATS, OpenMAMA's bundled qpid bridge with qpidmsg, and raw
# libnats (natsbench, the broker's limit), with 10-field and 50-field
# market-data messages (mdgen writes them as playback files for the
# producer); and tarnix over its in-process broker, where mamainproc runs
# both ends in one process. Then scale (10,000 and 100,000 subscriptions on
# one transport, 1 publisher to 10 subscribers) and flow control under
# overload.
#
#   bench/e2e/run.sh BUILD_DIR
#
# Writes bench/results/e2e.md, e2e-latency.png and e2e-overload.png and
# prints the tables. Everything runs on 127.0.0.1 against a nats-server
# started here; every process started here is stopped by its id on exit.
# tarnix over NATS and raw libnats run each pair E2E_BENCH_REPEATS times,
# interleaved (tarnix, raw, tarnix, raw, ...); the tables give the median with
# its min-max, so one noisy run cannot decide a comparison.
# Knobs (environment): E2E_BENCH_WARMUP (s, 1), E2E_BENCH_MEASURE (s, 3),
# E2E_BENCH_REPEATS (3), E2E_BENCH_LATENCY_RATES (msg/s, "1000 5000 20000
# 100000", 10 fields; 50 fields and the other systems at E2E_BENCH_LATENCY_RATE,
# 5000), E2E_BENCH_OVERLOAD (s, 15), E2E_BENCH_KEEP
# (keep the work directory with every process's output). For what-if runs:
# E2E_BENCH_SECTIONS (a subset of "pairs roundtrip scale fanout overload"),
# E2E_BENCH_PROPERTIES (extra mama.properties lines separated by ';') and
# E2E_BENCH_RESULTS (another directory for the report).
set -uo pipefail

build="$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
results="${E2E_BENCH_RESULTS:-$(cd "$here/.." && pwd)/results}"
SECTIONS=" ${E2E_BENCH_SECTIONS:-pairs roundtrip scale fanout overload} "
has() { [[ "$SECTIONS" == *" $1 "* ]]; }
IFS=';' read -r -a EXTRA_PROPS <<<"${E2E_BENCH_PROPERTIES:-}"
. "$build/env.sh"
BIN="$build/bin"
WARM=${E2E_BENCH_WARMUP:-1}
MEAS=${E2E_BENCH_MEASURE:-3}
REPS=${E2E_BENCH_REPEATS:-3}
LAT_RATE=${E2E_BENCH_LATENCY_RATE:-5000}
LAT_RATES=${E2E_BENCH_LATENCY_RATES:-1000 5000 20000 100000}
OVER_SECS=${E2E_BENCH_OVERLOAD:-15}
HZ=$(getconf CLK_TCK)

for tool in natsbench mdgen benchutil mamainproc; do
  [ -x "$BIN/$tool" ] || { echo "bench/e2e: $BIN/$tool missing (build with TARNIX_BENCH=ON)" >&2; exit 1; }
done
for tool in mamaproducerc_v2 mamaconsumerc_v2 mamapingpongc mamasubscriberc mamapublisherc; do
  command -v "$tool" >/dev/null || { echo "bench/e2e: OpenMAMA's $tool not on PATH" >&2; exit 1; }
done
command -v nats-server >/dev/null || { echo "bench/e2e: nats-server missing" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/bench-e2e.XXXXXX")"
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
  wait 2>/dev/null
  if [ -n "${E2E_BENCH_KEEP:-}" ]; then echo "bench/e2e: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log() { printf '[bench/e2e %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# spawn NAME CMD...: background process, output in $work/NAME.out and .err.
declare -A PNAME
CRASHED=()
spawn() {
  local name=$1; shift
  "$@" >"$work/$name.out" 2>"$work/$name.err" &
  SPAWNED=$!
  pids+=("$SPAWNED")
  PNAME[$SPAWNED]=$name
}

alive() { [ -r "/proc/$1/stat" ] && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]; }

# stop PID [GRACE]: SIGINT, SIGKILL when still there after GRACE seconds.
stop() {
  local pid=$1 grace=${2:-5} i
  for ((i = 0; i < grace * 20; i++)); do
    alive "$pid" || break
    [ "$i" = 0 ] && kill -INT "$pid" 2>/dev/null
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  local rc=$?
  # Killed by us (INT, KILL) is expected; any other signal is a crash.
  if ((rc > 128)) && ((rc != 130 && rc != 137)); then
    CRASHED+=("${PNAME[$pid]:-$pid} (signal $((rc - 128)))")
  fi
  return 0
}

# wait_for FILE REGEX TIMEOUT: 0 once a line of FILE matches.
wait_for() {
  local end=$((SECONDS + $3))
  until grep -qE -- "$2" "$1" 2>/dev/null; do
    ((SECONDS >= end)) && return 1
    sleep 0.05
  done
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
threads_of() { awk '/^Threads:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
median() { sort -n | awk '{v[NR] = $1} END {if (NR == 0) print 0; else print v[int((NR + 1) / 2)]}'; }
# spread VALUE...: "median (min–max)" of the numeric values, the value alone
# when there is one, "-" when there is none.
spread() {
  printf '%s\n' "$@" | grep -E '^[0-9]+(\.[0-9]+)?$' | sort -g | awk '
    {v[NR] = $1}
    END {
      if (NR == 0) print "-"
      else if (NR == 1 || v[1] == v[NR]) print v[int((NR + 1) / 2)]
      else printf "%s (%s–%s)\n", v[int((NR + 1) / 2)], v[1], v[NR]
    }'
}
mid() { spread "$@" | awk '{print $1}'; }

# ---- the broker ---------------------------------------------------------------
start_nats() {
  local attempt
  for attempt in 1 2 3 4 5; do
    NATS_PORT=$("$BIN/benchutil" port)
    NATS_HTTP=$("$BIN/benchutil" port)
    cat >"$work/nats.conf" <<EOF
listen: 127.0.0.1:$NATS_PORT
http: 127.0.0.1:$NATS_HTTP
server_name: bench
jetstream { store_dir: "$work/js", max_mem: 256MB, max_file: 256MB }
EOF
    spawn nats nats-server -c "$work/nats.conf"
    NATS_PID=$SPAWNED
    wait_for "$work/nats.err" 'Server is ready' 20 && return 0
    stop "$NATS_PID" 1
  done
  return 1
}

http_get() {
  local fd
  exec {fd}<>"/dev/tcp/127.0.0.1/$1" 2>/dev/null || return 1
  printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$2" >&"$fd"
  cat <&"$fd"
  exec {fd}>&-
}
varz() { http_get "$NATS_HTTP" /varz | sed -n "s/^ *\"$1\": *\([0-9]*\).*/\1/p" | head -1; }

# ---- configuration ------------------------------------------------------------
write_properties() { # DIR EXTRA_LINES...
  local dir=$1; shift
  mkdir -p "$dir"
  local q1 q2 q3 q4
  q1=$("$BIN/benchutil" port); q2=$("$BIN/benchutil" port)
  q3=$("$BIN/benchutil" port); q4=$("$BIN/benchutil" port)
  {
    for t in pub sub ping pong; do
      echo "mama.tarnix.transport.$t.SESSION_HOST=nats://127.0.0.1:$NATS_PORT"
      echo "mama.tarnix.transport.$t.allow_recover_gaps=true"
    done
    echo "mama.tarnix.transport.probe.SESSION_HOST=inproc://probe"
    echo "mama.tarnix.transport.probe.allow_recover_gaps=true"
    # mamainproc: both ends on one in-process broker.
    for t in inproc_pub inproc_sub; do
      echo "mama.tarnix.transport.$t.SESSION_HOST=inproc://bench"
      echo "mama.tarnix.transport.$t.allow_recover_gaps=true"
    done
    # qpid peer to peer: the subscriber asks the publisher's listener for data.
    echo "mama.qpid.transport.pub.incoming_url=amqp://~127.0.0.1:$q1"
    echo "mama.qpid.transport.pub.reply_url=amqp://127.0.0.1:$q1"
    echo "mama.qpid.transport.sub.outgoing_url=amqp://127.0.0.1:$q1"
    echo "mama.qpid.transport.sub.incoming_url=amqp://~127.0.0.1:$q2"
    echo "mama.qpid.transport.sub.reply_url=amqp://127.0.0.1:$q2"
    echo "mama.qpid.transport.ping.outgoing_url=amqp://127.0.0.1:$q4"
    echo "mama.qpid.transport.ping.incoming_url=amqp://~127.0.0.1:$q3"
    echo "mama.qpid.transport.ping.reply_url=amqp://127.0.0.1:$q3"
    echo "mama.qpid.transport.pong.outgoing_url=amqp://127.0.0.1:$q3"
    echo "mama.qpid.transport.pong.incoming_url=amqp://~127.0.0.1:$q4"
    echo "mama.qpid.transport.pong.reply_url=amqp://127.0.0.1:$q4"
    for line in "$@"; do echo "$line"; done
  } >"$dir/mama.properties"
}

# ---- one producer/consumer run -------------------------------------------------
# pair_cpu PROD CONS: CPU ticks of both, or of the one process that is both.
pair_cpu() {
  if [ "$1" = "$2" ]; then cpu_ticks "$1"; else echo $(($(cpu_ticks "$1") + $(cpu_ticks "$2"))); fi
}

# pair SYS FIELDS RATE: SYS tarnix|inproc|qpid|raw, RATE 0 = as fast as
# possible. Sets R_RATE (delivered msg/s, median of the measured seconds),
# R_PUBRATE, R_CPU (us of producer+consumer CPU per delivered message),
# R_BROKER (us of nats-server CPU per message), R_GAPS, R_P50/R_P90/R_P99/R_P999
# (us) and R_HIST (a file "upper_us cumulative_%"). inproc is one process,
# mamainproc, with both ends and the broker.
pair() {
  local sys=$1 fields=$2 rate=$3 tag="$1-$2-$3-${4:-1}"
  R_RATE=0 R_PUBRATE=0 R_CPU=- R_BROKER=- R_GAPS=- R_P50=- R_P90=- R_P99=- R_P999=- R_HIST=
  local cons prod ratere pubre pout="$work/prod-$tag.out"
  local -a ccmd pcmd
  case $sys in
    inproc)
      ccmd=("$BIN/mamainproc" -fields "$fields" -rate "$rate" -warmup "$WARM")
      pout="$work/cons-$tag.out"
      ratere='^RATE [0-9]+'
      pubre='PUB [0-9]+' ;;
    tarnix | qpid)
      ccmd=(mamaconsumerc_v2 -m "$sys" -tport sub -s BENCH -stats -percentiles 50,99,99.9
            -bucketWidth 1 -bucketCount 50000 -start-stats "$WARM" -t 1)
      pcmd=(mamaproducerc_v2 -m "$sys" -tport pub -s BENCH -playback "$work/$sys-$fields.pb" -rewind -1 -t 1)
      # -rt: pace by the wall clock (the default clock is the process's CPU
      # time, which runs slow whenever the producer is not scheduled).
      [ "$rate" != 0 ] && pcmd+=(-target "$rate" -rt)
      ratere='^[0-9]{4}/[0-9]{2}/[0-9]{2} - [0-9:]{8} +[0-9]+'
      pubre='RATE = [0-9]+' ;;
    raw)
      ccmd=("$BIN/natsbench" sub "nats://127.0.0.1:$NATS_PORT" BENCH)
      pcmd=("$BIN/natsbench" pub "nats://127.0.0.1:$NATS_PORT" BENCH "${MSG_BYTES[$fields]}" "$rate")
      ratere='^RATE [0-9]+'
      pubre='^RATE [0-9]+' ;;
  esac
  if [ "$sys" = inproc ]; then
    spawn "cons-$tag" "${ccmd[@]}"; cons=$SPAWNED
    prod=$cons
  elif [ "$sys" = qpid ]; then
    # qpid's subscriber registers with a publisher that must be listening.
    spawn "prod-$tag" "${pcmd[@]}"; prod=$SPAWNED
    sleep 1
    spawn "cons-$tag" "${ccmd[@]}"; cons=$SPAWNED
  else
    spawn "cons-$tag" "${ccmd[@]}"; cons=$SPAWNED
    wait_for "$work/cons-$tag.out" '(TIME +RATE|SUBSCRIBED)' 30 || log "$tag: consumer not ready"
    sleep 0.5
    spawn "prod-$tag" "${pcmd[@]}"; prod=$SPAWNED
  fi
  if ! wait_for "$work/cons-$tag.out" "$ratere" 30; then
    log "$tag: no message reached the consumer"
    [ "$prod" != "$cons" ] && stop "$prod" 2
    stop "$cons" 2
    R_RATE=failed
    return 1
  fi
  sleep "$WARM"
  local n0 c0 b0 n1 c1 b1 p0 p1
  n0=$(wc -l <"$work/cons-$tag.out"); p0=$(wc -l <"$pout")
  c0=$(pair_cpu "$prod" "$cons"); b0=$(cpu_ticks "$NATS_PID")
  sleep "$MEAS"
  n1=$(wc -l <"$work/cons-$tag.out"); p1=$(wc -l <"$pout")
  c1=$(pair_cpu "$prod" "$cons"); b1=$(cpu_ticks "$NATS_PID")
  [ "$prod" != "$cons" ] && stop "$prod" 3
  stop "$cons" 5
  R_RATE=$(sed -n "$((n0 + 1)),${n1}p" "$work/cons-$tag.out" | grep -oE -- "$ratere" | awk '{print $NF}' | median)
  R_PUBRATE=$(sed -n "$((p0 + 1)),${p1}p" "$pout" | grep -oE -- "$pubre" | awk '{print $NF}' | median)
  if [ "${R_RATE:-0}" -gt 0 ]; then
    R_CPU=$(awk -v c=$((c1 - c0)) -v hz="$HZ" -v r="$R_RATE" -v s="$MEAS" 'BEGIN {printf "%.2f", c / hz * 1e6 / (r * s)}')
    # qpid has no broker; inproc's is inside the process, counted above.
    [ "$sys" != qpid ] && [ "$sys" != inproc ] &&
      R_BROKER=$(awk -v c=$((b1 - b0)) -v hz="$HZ" -v r="$R_RATE" -v s="$MEAS" 'BEGIN {printf "%.2f", c / hz * 1e6 / (r * s)}')
  fi
  if [ "$sys" = raw ] || [ "$sys" = inproc ]; then
    R_GAPS=$(sed -n 's/^SUMMARY .*gaps=\([0-9]*\).*/\1/p' "$work/cons-$tag.out")
  else
    # The "MC GAPS" column: sequence-number gaps seen by the consumer.
    R_GAPS=$(grep -E -- "$ratere" "$work/cons-$tag.out" | awk '$(NF-1) ~ /^[0-9]+$/ {s += $(NF-1)} END {print s + 0}')
  fi
  # The bucket table: "lower upper count percent cumulative" after its title.
  R_HIST="$work/hist-$tag.dat"
  awk '/Latency Count/ {on = 1; next} on && NF == 5 && $1 ~ /^[0-9]+$/ && $3 > 0 {print $2, $5}' \
    "$work/cons-$tag.out" >"$R_HIST"
  if [ -s "$R_HIST" ]; then
    read -r R_P50 R_P90 R_P99 R_P999 < <(awk '
      {u[NR] = $1; c[NR] = $2}
      END {
        split("50 90 99 99.9", want, " ")
        for (k = 1; k <= 4; k++) { v = "-"; for (i = 1; i <= NR; i++) if (c[i] + 1e-9 >= want[k]) { v = u[i]; break }; printf "%s ", v }
        print ""
      }' "$R_HIST")
  fi
  return 0
}

# ---- round trips ---------------------------------------------------------------
# pingpong SYS: sets P_MIN P_MEAN P_MAX (us) and P_P50 P_P99 (raw only).
pingpong() {
  local sys=$1 tag=$1-${2:-1} resp req
  P_MIN=- P_MEAN=- P_MAX=- P_P50=- P_P99=-
  if [ "$sys" = raw ]; then
    spawn "pong-$tag" "$BIN/natsbench" pong "nats://127.0.0.1:$NATS_PORT" PP; resp=$SPAWNED
    wait_for "$work/pong-$tag.out" READY 20
    spawn "ping-$tag" "$BIN/natsbench" ping "nats://127.0.0.1:$NATS_PORT" PP 5000 200; req=$SPAWNED
  else
    spawn "pong-$tag" mamapingpongc -m "$sys" -tport pong -r -l 200; resp=$SPAWNED
    wait_for "$work/pong-$tag.out" 'Responder waiting' 20
    sleep 0.5
    spawn "ping-$tag" mamapingpongc -m "$sys" -tport ping -n 5000 -l 200; req=$SPAWNED
  fi
  local end=$((SECONDS + 60))
  while alive "$req" && ((SECONDS < end)); do sleep 0.1; done
  stop "$req" 2; stop "$resp" 3
  if [ "$sys" = raw ]; then
    read -r P_MIN P_MEAN P_P50 P_P99 P_MAX < <(sed -n \
      's/^ROUNDTRIP .*min=\([0-9.]*\) mean=\([0-9.]*\) p50=\([0-9.]*\) p99=\([0-9.]*\) max=\([0-9.]*\).*/\1 \2 \3 \4 \5/p' \
      "$work/ping-$tag.out")
  else
    read -r P_MIN P_MEAN P_MAX < <(awk '$1 == 200 && NF >= 5 {print $3, $4, $5}' "$work/ping-$tag.out")
  fi
  P_MIN=${P_MIN:--} P_MEAN=${P_MEAN:--} P_MAX=${P_MAX:--} P_P50=${P_P50:--} P_P99=${P_P99:--}
}

# ---- scale: many subscriptions on one transport --------------------------------
# scale SYS N: sets S_TIME (s until the broker holds all N), S_RSS (MiB), S_THREADS.
scale() {
  local sys=$1 n=$2 base pid t0 now
  S_TIME=- S_RSS=- S_THREADS=-
  base=$(varz subscriptions)
  t0=$(date +%s.%N)
  if [ "$sys" = raw ]; then
    spawn "scale-$sys-$n" "$BIN/natsbench" sub "nats://127.0.0.1:$NATS_PORT" SCALE "$n"
  else
    spawn "scale-$sys-$n" mamaconsumerc_v2 -m "$sys" -tport sub -genSyms "$n" -symRoot SCALE -t 1
  fi
  pid=$SPAWNED
  local end=$((SECONDS + 90)) have=0
  while ((SECONDS < end)) && alive "$pid"; do
    have=$(varz subscriptions)
    [ "${have:-0}" -ge $((base + n)) ] && break
    sleep 0.05
  done
  now=$(date +%s.%N)
  if [ "${have:-0}" -ge $((base + n)) ]; then
    S_TIME=$(awk -v a="$t0" -v b="$now" 'BEGIN {printf "%.2f", b - a}')
    sleep 1
    S_RSS=$(awk -v k="$(rss_kb "$pid")" 'BEGIN {printf "%.1f", k / 1024}')
    S_THREADS=$(threads_of "$pid")
  else
    S_TIME="not reached (${have:-0}/$((base + n)) at the broker)"
  fi
  stop "$pid" 1
  # Wait for the broker to forget them before the next run.
  end=$((SECONDS + 30))
  while ((SECONDS < end)) && [ "$(varz subscriptions)" -gt "$base" ] 2>/dev/null; do sleep 0.1; done
}

# ---- fan-out: 1 publisher, 10 subscribers --------------------------------------
# fanout SYS: sets F_EACH (median msg/s per subscriber), F_TOTAL, F_P50 (median
# of the subscribers' p50), F_P99 (worst p99), F_CPU (us of all processes per
# delivered message, broker excluded), F_BROKER.
FAN_RATE=2000
fanout() {
  local sys=$1 i prod c0 c1 b0 b1 rates p50s p99s
  local -a cons
  F_EACH=- F_TOTAL=- F_P50=- F_P99=- F_CPU=- F_BROKER=-
  for i in $(seq 1 10); do
    if [ "$sys" = raw ]; then
      spawn "fan-$sys-$i" "$BIN/natsbench" sub "nats://127.0.0.1:$NATS_PORT" BENCH
    else
      spawn "fan-$sys-$i" mamaconsumerc_v2 -m "$sys" -tport sub -s BENCH -stats -percentiles 50,99 \
        -bucketWidth 1 -bucketCount 50000 -start-stats "$WARM" -t 1
    fi
    cons+=("$SPAWNED")
  done
  for i in $(seq 1 10); do wait_for "$work/fan-$sys-$i.out" '(TIME +RATE|SUBSCRIBED)' 30; done
  sleep 1
  if [ "$sys" = raw ]; then
    spawn "fanpub-$sys" "$BIN/natsbench" pub "nats://127.0.0.1:$NATS_PORT" BENCH "${MSG_BYTES[10]}" "$FAN_RATE"
  else
    # Playback publishes on the symbol recorded in the file: BENCH.
    spawn "fanpub-$sys" mamaproducerc_v2 -m "$sys" -tport pub -s BENCH -playback "$work/$sys-10.pb" \
      -rewind -1 -t 1 -target "$FAN_RATE" -rt
  fi
  prod=$SPAWNED
  sleep "$WARM"; sleep 1
  c0=$(cpu_ticks "$prod"); for i in "${cons[@]}"; do c0=$((c0 + $(cpu_ticks "$i"))); done
  b0=$(cpu_ticks "$NATS_PID")
  local n0=()
  for i in $(seq 1 10); do n0+=("$(wc -l <"$work/fan-$sys-$i.out")"); done
  sleep "$MEAS"
  c1=$(cpu_ticks "$prod"); for i in "${cons[@]}"; do c1=$((c1 + $(cpu_ticks "$i"))); done
  b1=$(cpu_ticks "$NATS_PID")
  local n1=()
  for i in $(seq 1 10); do n1+=("$(wc -l <"$work/fan-$sys-$i.out")"); done
  stop "$prod" 3
  for i in "${cons[@]}"; do kill -INT "$i" 2>/dev/null; done
  for i in "${cons[@]}"; do stop "$i" 5; done
  local re='^[0-9]{4}/[0-9]{2}/[0-9]{2} - [0-9:]{8} +[0-9]+'
  [ "$sys" = raw ] && re='^RATE [0-9]+'
  rates=$(for i in $(seq 1 10); do
    sed -n "$((n0[i - 1] + 1)),${n1[i - 1]}p" "$work/fan-$sys-$i.out" | grep -oE -- "$re" | awk '{print $NF}' | median
  done)
  F_EACH=$(echo "$rates" | median)
  F_TOTAL=$(echo "$rates" | awk '{s += $1} END {print s + 0}')
  p50s="" p99s=""
  for i in $(seq 1 10); do
    local h="$work/fanhist-$sys-$i.dat" v
    awk '/Latency Count/ {on = 1; next} on && NF == 5 && $1 ~ /^[0-9]+$/ {print $2, $5}' "$work/fan-$sys-$i.out" >"$h"
    v=$(awk '$2 + 1e-9 >= 50 {print $1; exit}' "$h"); p50s+="${v:-} "
    v=$(awk '$2 + 1e-9 >= 99 {print $1; exit}' "$h"); p99s+="${v:-} "
  done
  F_P50=$(echo "$p50s" | tr ' ' '\n' | grep . | median)
  F_P99=$(echo "$p99s" | tr ' ' '\n' | grep . | sort -n | tail -1)
  if [ "${F_TOTAL:-0}" -gt 0 ]; then
    F_CPU=$(awk -v c=$((c1 - c0)) -v hz="$HZ" -v r="$F_TOTAL" -v s="$MEAS" 'BEGIN {printf "%.2f", c / hz * 1e6 / (r * s)}')
    F_BROKER=$(awk -v c=$((b1 - b0)) -v hz="$HZ" -v r="$F_TOTAL" -v s="$MEAS" 'BEGIN {printf "%.2f", c / hz * 1e6 / (r * s)}')
  fi
}

# ---- flow control under overload ------------------------------------------------
# The subscriber (mamasubscriberc, printing every message) is read through a
# pipe at a tenth of the publisher's full rate; it is sampled every half
# second: resident memory, queue depth (OpenMAMA's queue statistics),
# messages consumed and lost, suspensions.
overload() {
  local pubrate=$1 consrate dir="$work/overload" fifo="$work/overload.fifo" sub reader prod t
  consrate=$((pubrate / 10))
  [ "$consrate" -lt 100 ] && consrate=100
  O_CONSRATE=$consrate
  write_properties "$dir" "${EXTRA_PROPS[@]}" \
    "mama.tarnix.transport.queue_max_size=10000" \
    "mama.tarnix.transport.sub.SESSION_BUFFER_MSG_LIMIT=10000" \
    "mama.statslogging.enable=true" \
    "mama.statslogging.queue.logging=true" \
    "mama.statslogging.global.logging=false" \
    "mama.statslogging.transport.logging=false" \
    "mama.statslogging.interval=1"
  mkfifo "$fifo"
  # Both ends of the fifo are opened in the background jobs themselves.
  "$BIN/benchutil" paceread "$consrate" "mamasubscriberc: Recieved msg." <"$fifo" >"$work/overload-reader.out" 2>&1 &
  reader=$!
  pids+=("$reader")
  # -v -v: the bridge's suspensions and resumptions (FINER) are logged.
  WOMBAT_PATH="$dir" mamasubscriberc -m tarnix -tport sub -s OVER -v -v >"$fifo" 2>"$work/overload-sub.err" &
  sub=$!
  pids+=("$sub")
  sleep 2
  spawn overload-prod env WOMBAT_PATH="$dir" mamaproducerc_v2 -m tarnix -tport pub -s OVER \
    -playback "$work/tarnix-10-over.pb" -rewind -1 -t 1
  prod=$SPAWNED
  local t0 end
  t0=$(date +%s.%N)
  end=$((SECONDS + OVER_SECS))
  : >"$work/overload.dat"
  while ((SECONDS < end)) && alive "$sub" && alive "$prod"; do
    t=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}')
    local depth pace
    # "name | type | middleware | Queue Size | current | max | total |"
    depth=$(grep 'Queue Size' "$work/overload-sub.err" 2>/dev/null | tail -1 | awk -F'|' '{gsub(/ /, "", $5); print $5}')
    pace=$(grep '^PACE' "$work/overload-reader.out" 2>/dev/null | tail -1)
    printf '%s %s %s %s %s %s\n' "$t" "$(rss_kb "$sub")" "${depth:-NaN}" \
      "$(sed -n 's/.*consumed=\([0-9]*\).*/\1/p' <<<"$pace")" "$(sed -n 's/.*lost=\([0-9]*\).*/\1/p' <<<"$pace")" \
      "$(grep -c 'suspending the transport' "$work/overload-sub.err" 2>/dev/null)" >>"$work/overload.dat"
    sleep 0.5
  done
  O_ALIVE=yes
  alive "$sub" && alive "$prod" || O_ALIVE=no
  O_PUBRATE=$(grep -oE 'RATE = [0-9]+' "$work/overload-prod.out" | awk '{print $3}' | median)
  stop "$prod" 3
  stop "$sub" 3
  stop "$reader" 3
  O_SUSPEND=$(grep -c 'suspending the transport' "$work/overload-sub.err")
  O_DISCARDS=$(grep -c 'event=Received messages discarded' "$work/overload-sub.err")
  O_RESUME=$(grep -c 'resuming the transport' "$work/overload-sub.err")
  O_LOST=$(grep '^PACE' "$work/overload-reader.out" | tail -1 | sed -n 's/.*lost=\([0-9]*\).*/\1/p')
  O_CONSUMED=$(grep '^PACE' "$work/overload-reader.out" | tail -1 | sed -n 's/.*consumed=\([0-9]*\).*/\1/p')
  # Memory in the first and the second half of the run.
  read -r O_RSS_FIRST O_RSS_SECOND O_DEPTH_MAX < <(awk '
    {n++; t[n] = $1; r[n] = $2; if ($3 != "NaN" && $3 + 0 > d) d = $3 + 0}
    END {for (i = 1; i <= n; i++) if (i <= n / 2) { if (r[i] > a) a = r[i] } else { if (r[i] > b) b = r[i] }
         printf "%.1f %.1f %d\n", a / 1024, b / 1024, d}' "$work/overload.dat")
}

# ==== the run =====================================================================
log "work directory $work"
start_nats || { echo "bench/e2e: nats-server did not start" >&2; exit 1; }
write_properties "$work" "${EXTRA_PROPS[@]}"
export WOMBAT_PATH="$work"

# Is the tarnix middleware able to create transports yet?
TARNIX=yes TARNIX_WHY=
mamapublisherc -m tarnix -tport probe -s PROBE -c 1 -i 0.01 -q >"$work/probe.out" 2>&1
probe=$?
if [ "$probe" = 18 ] || grep -q 'Error creating transport' "$work/probe.out"; then
  TARNIX=no
  TARNIX_WHY="not available: $(grep -o 'Error creating transport: [A-Z_]*' "$work/probe.out" | head -1)"
  log "tarnix: $TARNIX_WHY"
fi
SYSTEMS="qpid raw"
[ "$TARNIX" = yes ] && SYSTEMS="tarnix inproc qpid raw"

declare -A MSG_BYTES QPID_BYTES NAME
NAME[tarnix]="tarnix over NATS" NAME[qpid]="qpid bridge, qpidmsg" NAME[raw]="raw libnats (natsbench)"
NAME[inproc]="tarnix over inproc (mamainproc)"
for f in 10 50; do
  for p in tarnixmsg qpidmsg; do
    sys=${p%msg}
    out=$(mdgen "$p" "$f" BENCH 20000 "$work/$sys-$f.pb" 2>/dev/null) || { log "mdgen $p $f failed"; continue; }
    [ "$sys" = tarnix ] && MSG_BYTES[$f]=${out#bytes=}
    [ "$sys" = qpid ] && QPID_BYTES[$f]=${out#bytes=}
  done
  # Raw libnats carries as many bytes as the tarnixmsg message.
  [ -n "${MSG_BYTES[$f]:-}" ] || MSG_BYTES[$f]=$((f * 12))
done
# Named fields: mamasubscriberc prints the sequence number only then.
mdgen tarnixmsg 10 OVER 20000 "$work/tarnix-10-over.pb" named >/dev/null 2>&1

# Cells hold one value per repeat ("SYS-FIELDS[-RATE]-REPEAT"); the report
# takes their spread. qpid and inproc run once: they are context, not bars.
declare -A T_RATE T_PUB T_CPU T_BROKER T_GAPS L_P50 L_P90 L_P99 L_P999 L_HIST L_RATE
repeats() { if [ "$1" = tarnix ] || [ "$1" = raw ]; then echo "$REPS"; else echo 1; fi; }
for f in 10 50; do
  has pairs || break
  for rep in $(seq 1 "$REPS"); do
    for sys in $SYSTEMS; do
      [ "$rep" -le "$(repeats "$sys")" ] || continue
      log "throughput: $sys, $f fields (run $rep)"
      pair "$sys" "$f" 0 "$rep"
      k=$sys-$f-$rep
      T_RATE[$k]=$R_RATE T_PUB[$k]=$R_PUBRATE T_CPU[$k]=$R_CPU T_BROKER[$k]=$R_BROKER T_GAPS[$k]=$R_GAPS
    done
  done
  rates=$LAT_RATE
  [ "$f" = 10 ] && rates=$LAT_RATES
  for rate in $rates; do
    for rep in $(seq 1 "$REPS"); do
      for sys in $SYSTEMS; do
        [ "$rep" -le "$(repeats "$sys")" ] || continue
        { [ "$sys" = tarnix ] || [ "$sys" = raw ] || [ "$rate" = "$LAT_RATE" ]; } || continue
        log "latency: $sys, $f fields at $rate msg/s (run $rep)"
        pair "$sys" "$f" "$rate" "$rep"
        k=$sys-$f-$rate-$rep
        L_P50[$k]=$R_P50 L_P90[$k]=$R_P90 L_P99[$k]=$R_P99 L_P999[$k]=$R_P999 L_HIST[$k]=$R_HIST L_RATE[$k]=$R_RATE
      done
    done
  done
done

# cells ARRAY KEY: the values of every repeat of KEY.
cells() {
  local -n arr=$1
  local rep
  for rep in $(seq 1 "$REPS"); do [ -n "${arr[$2-$rep]:-}" ] && echo "${arr[$2-$rep]}"; done
}
# The histogram of the repeat whose p50 is the median, for the plot.
median_hist() {
  local m rep
  m=$(mid $(cells L_P50 "$1"))
  for rep in $(seq 1 "$REPS"); do
    [ "${L_P50[$1-$rep]:-}" = "$m" ] && { echo "${L_HIST[$1-$rep]}"; return; }
  done
}

declare -A PP_MIN PP_MEAN PP_MAX PP_P50 PP_P99
for rep in $(seq 1 "$REPS"); do
  has roundtrip || break
  for sys in $SYSTEMS; do
    # qpid peer to peer registers a subscription once, with a publisher that
    # must already listen; each end of mamapingpongc publishes to the other, so
    # one of the two registrations is always lost.
    [ "$sys" = qpid ] && continue
    [ "$sys" = inproc ] && continue
    log "round trips: $sys (run $rep)"
    pingpong "$sys" "$rep"
    k=$sys-$rep
    PP_MIN[$k]=$P_MIN PP_MEAN[$k]=$P_MEAN PP_MAX[$k]=$P_MAX PP_P50[$k]=$P_P50 PP_P99[$k]=$P_P99
  done
done

declare -A SC_TIME SC_RSS SC_THREADS
for sys in tarnix raw; do
  has scale || break
  [ "$sys" = tarnix ] && [ "$TARNIX" = no ] && continue
  for n in 1 10000 100000; do
    log "scale: $sys, $n subscriptions"
    scale "$sys" "$n"
    SC_TIME[$sys-$n]=$S_TIME SC_RSS[$sys-$n]=$S_RSS SC_THREADS[$sys-$n]=$S_THREADS
  done
done

declare -A FO_EACH FO_TOTAL FO_P50 FO_P99 FO_CPU FO_BROKER
for sys in tarnix raw; do
  has fanout || break
  [ "$sys" = tarnix ] && [ "$TARNIX" = no ] && continue
  log "fan-out: $sys"
  fanout "$sys"
  FO_EACH[$sys]=$F_EACH FO_TOTAL[$sys]=$F_TOTAL FO_P50[$sys]=$F_P50 FO_P99[$sys]=$F_P99
  FO_CPU[$sys]=$F_CPU FO_BROKER[$sys]=$F_BROKER
done

if [ "$TARNIX" = yes ] && has overload; then
  log "overload: tarnix, consumer at a tenth of the publisher"
  full=$(mid $(cells T_PUB tarnix-10))
  [[ "$full" =~ ^[0-9]+$ ]] && [ "$full" -gt 0 ] || full=20000
  overload "$full"
fi

# ==== report =======================================================================
# Sections left out by E2E_BENCH_SECTIONS leave their cells empty.
set +u
mkdir -p "$results"
md="$results/e2e.md"
cpu=$(awk -F: '/model name/ {gsub(/^ +/, "", $2); print $2; exit}' /proc/cpuinfo)
mem=$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)
commit=$(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo unknown)
git -C "$here" diff --quiet HEAD 2>/dev/null || commit="$commit (with local changes)"
na() { [ "$TARNIX" = no ] && [ "$1" = tarnix ] && echo "$TARNIX_WHY" || echo "$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a + 0 > 0 && b + 0 > 0) printf "%.0f%%", 100 * a / b; else print "-"}'; }

{
  echo "# End-to-end benchmark"
  echo
  echo "Generated by \`bench/e2e/run.sh\` (via \`scripts/bench.sh\`) on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit."
  echo "Machine: $cpu, $(nproc) cores, $mem, Linux $(uname -r); load average at the end $(cut -d' ' -f1-3 /proc/loadavg)."
  [ -n "${E2E_BENCH_SECTIONS:-}${E2E_BENCH_PROPERTIES:-}" ] &&
    echo "What-if run: sections${SECTIONS% }; extra properties: ${E2E_BENCH_PROPERTIES:-none}."
  echo "Software: OpenMAMA 6.3.1, $(nats-server --version 2>&1 | head -1), libnats $(pkg-config --modversion libnats 2>/dev/null || echo '?'); everything on 127.0.0.1, one nats-server for the whole run."
  echo
  echo "Stock tools: \`mamaproducerc_v2\` (playing back a ${MSG_BYTES[10]}-byte 10-field or ${MSG_BYTES[50]}-byte 50-field tarnixmsg market-data update written by \`bench/e2e/mdgen\`; qpidmsg: ${QPID_BYTES[10]:-?}/${QPID_BYTES[50]:-?} bytes) into \`mamaconsumerc_v2\`, and \`mamapingpongc\`. Raw libnats is \`bench/e2e/natsbench\` with payloads of the tarnixmsg sizes."
  echo "Each run: ${WARM} s warm-up, ${MEAS} s measured. Throughput: producer as fast as it goes, the consumer's delivered messages/s (median of the measured seconds). Latency: producer paced (mamaproducerc_v2 -rt and natsbench both pace by spinning on the clock, so each takes a core), one-way send-to-callback time in 1 µs buckets. CPU per message: user+system time of producer and consumer (broker separately) over the measured seconds divided by the messages delivered."
  echo
  if [ ${#CRASHED[@]} -gt 0 ]; then
    echo "Processes that died of a signal while being stopped (after their measurements): ${CRASHED[*]}."
    echo
  fi
  echo "tarnix over inproc: our own program \`bench/e2e/mamainproc\` through OpenMAMA with the tarnix and tarnixmsg plug-ins, both ends in one process on the in-process broker (the stock tools each run one end): a publisher thread sends mdgen's update stamped like mamaproducerc_v2 (fid 10, fid 16), a subscription dispatched on its own thread counts and times it; flat out, the publisher keeps at most 10,000 messages in flight, so it goes at the pace the subscriber sustains instead of into the broker's discards; CPU is the one process's, broker included."
  echo
  echo "## Throughput and latency"
  echo
  echo "tarnix over NATS and raw libnats: median of $REPS interleaved runs with their min–max in brackets; the other rows are one run. Latency columns at $LAT_RATE msg/s."
  echo
  echo "| system | fields | msg/s | producer msg/s | gaps | CPU µs/msg (pub+sub) | broker CPU µs/msg | p50 µs | p99 µs | p99.9 µs |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for f in 10 50; do
    for sys in tarnix inproc qpid raw; do
      if { [ "$sys" = tarnix ] || [ "$sys" = inproc ]; } && [ "$TARNIX" = no ]; then
        echo "| ${NAME[$sys]} | $f | $TARNIX_WHY | | | | | | | |"
        continue
      fi
      k=$sys-$f l=$sys-$f-$LAT_RATE
      echo "| ${NAME[$sys]} | $f | $(spread $(cells T_RATE "$k")) | $(spread $(cells T_PUB "$k")) | $(spread $(cells T_GAPS "$k")) | $(spread $(cells T_CPU "$k")) | $(spread $(cells T_BROKER "$k")) | $(spread $(cells L_P50 "$l")) | $(spread $(cells L_P99 "$l")) | $(spread $(cells L_P999 "$l")) |"
    done
  done
  echo
  echo "![latency distributions](e2e-latency.png)"
  echo
  [ -s "$results/e2e-profile.md" ] &&
    echo "Profiles of both processes, threads, context switches and CPU per message before and after the latest change to the send and receive paths: [e2e-profile.md](e2e-profile.md) (\`bench/e2e/profile.sh\`)." && echo
  echo "## Latency by rate"
  echo
  echo "One-way latency, paced producer; raw libnats sends each message at once (send-asap), its best for latency. Median of $REPS interleaved runs (min–max)."
  echo
  echo "| fields | msg/s | system | p50 µs | p90 µs | p99 µs | p99.9 µs |"
  echo "|---:|---:|---|---:|---:|---:|---:|"
  for f in 10 50; do
    rates=$LAT_RATE
    [ "$f" = 10 ] && rates=$LAT_RATES
    for rate in $rates; do
      for sys in tarnix raw; do
        l=$sys-$f-$rate
        [ -n "$(cells L_P50 "$l")" ] || continue
        echo "| $f | $rate | ${NAME[$sys]} | $(spread $(cells L_P50 "$l")) | $(spread $(cells L_P90 "$l")) | $(spread $(cells L_P99 "$l")) | $(spread $(cells L_P999 "$l")) |"
      done
    done
  done
  echo
  echo "## tarnix over NATS against raw libnats"
  echo
  if [ "$TARNIX" = yes ]; then
    # diff A B: A - B of two medians, "-" unless both are numbers.
    diff_us() { awk -v a="$1" -v b="$2" 'BEGIN {if (a ~ /^[0-9.]+$/ && b ~ /^[0-9.]+$/) printf "%+d µs", a - b; else print "-"}'; }
    met() { awk -v a="$1" -v b="$2" -v s="$3" 'BEGIN {if (a ~ /^[0-9.]+$/ && b ~ /^[0-9.]+$/) print (a <= b + s ? "met" : "missed"); else print "-"}'; }
    echo "Medians of $REPS interleaved runs each."
    echo
    # OpenMAMA's own ceiling: the same plug-ins with no broker and no socket.
    echo "| fields | throughput ratio (bar ≥ 70%) | | tarnix over NATS against tarnix over inproc |"
    echo "|---:|---:|---|---:|"
    for f in 10 50; do
      r=$(ratio "$(mid $(cells T_RATE tarnix-$f))" "$(mid $(cells T_RATE raw-$f))")
      c=$(ratio "$(mid $(cells T_RATE tarnix-$f))" "$(mid $(cells T_RATE inproc-$f))")
      echo "| $f | $r | $(awk -v r="${r%\%}" 'BEGIN {if (r ~ /^[0-9]+$/) print (r >= 70 ? "met" : "missed"); else print "-"}') | $c |"
    done
    echo
    echo "| fields | msg/s | p50 tarnix − raw (bar ≤ +20 µs) | | p90 tarnix − raw (bar ≤ 0) | | p99 tarnix − raw (bar ≤ 0) | |"
    echo "|---:|---:|---:|---|---:|---|---:|---|"
    for f in 10 50; do
      rates=$LAT_RATE
      [ "$f" = 10 ] && rates=$LAT_RATES
      for rate in $rates; do
        t=tarnix-$f-$rate r=raw-$f-$rate
        row="| $f | $rate |"
        for pair_ in "L_P50 20" "L_P90 0" "L_P99 0"; do
          set -- $pair_
          a=$(mid $(cells "$1" "$t")) b=$(mid $(cells "$1" "$r"))
          row+=" $(diff_us "$a" "$b") | $(met "$a" "$b" "$2") |"
        done
        echo "$row"
      done
    done
    echo
    a=$(mid $(cells PP_MEAN tarnix)) b=$(mid $(cells PP_MEAN raw))
    echo "Round trip: mamapingpongc mean − natsbench mean $(diff_us "$a" "$b") (bar ≤ +20 µs): $(met "$a" "$b" 20)."
  else
    echo "$TARNIX_WHY"
  fi
  echo
  echo "## Round trips (mamapingpongc, 5000 × 200 bytes, one outstanding)"
  echo
  echo "Median of $REPS interleaved runs (min–max)."
  echo
  echo "| system | min µs | mean µs | p50 µs | p99 µs | max µs |"
  echo "|---|---:|---:|---:|---:|---:|"
  for sys in tarnix qpid raw; do
    if [ "$sys" = tarnix ] && [ "$TARNIX" = no ]; then echo "| ${NAME[$sys]} | $TARNIX_WHY | | | | |"; continue; fi
    if [ "$sys" = qpid ]; then echo "| ${NAME[$sys]} | not measured, see below | | | | |"; continue; fi
    echo "| ${NAME[$sys]} | $(spread $(cells PP_MIN "$sys")) | $(spread $(cells PP_MEAN "$sys")) | $(spread $(cells PP_P50 "$sys")) | $(spread $(cells PP_P99 "$sys")) | $(spread $(cells PP_MAX "$sys")) |"
  done
  echo
  echo "mamapingpongc reports min, mean and max only; the percentiles come from natsbench. qpid is not measured: without a broker, its peer-to-peer mode registers a subscription once with a publisher that must already be listening, and each end of mamapingpongc publishes to the other, so one of the two registrations is always lost and the tool never synchronises."
  echo
  echo "## Scale"
  echo
  echo "Subscriptions on one transport (\`mamaconsumerc_v2 -genSyms N\`; raw: one libnats connection): time from process start until the broker holds all of them, then resident memory and threads."
  echo
  echo "| system | subscriptions | time s | RSS MiB | threads |"
  echo "|---|---:|---:|---:|---:|"
  for sys in tarnix raw; do
    for n in 1 10000 100000; do
      if [ "$sys" = tarnix ] && [ "$TARNIX" = no ]; then echo "| ${NAME[$sys]} | $n | $TARNIX_WHY | | |"; continue; fi
      echo "| ${NAME[$sys]} | $n | ${SC_TIME[$sys-$n]} | ${SC_RSS[$sys-$n]} | ${SC_THREADS[$sys-$n]} |"
    done
  done
  echo
  echo "Fan-out: one publisher at $FAN_RATE msg/s (10 fields) to 10 subscriber processes."
  echo
  echo "| system | msg/s per subscriber | deliveries/s | p50 µs (median) | p99 µs (worst) | CPU µs/delivery | broker CPU µs/delivery |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  for sys in tarnix raw; do
    if [ "$sys" = tarnix ] && [ "$TARNIX" = no ]; then echo "| ${NAME[$sys]} | $TARNIX_WHY | | | | | |"; continue; fi
    echo "| ${NAME[$sys]} | ${FO_EACH[$sys]} | ${FO_TOTAL[$sys]} | ${FO_P50[$sys]} | ${FO_P99[$sys]} | ${FO_CPU[$sys]} | ${FO_BROKER[$sys]} |"
  done
  echo
  echo "## Flow control under overload"
  echo
  if [ "$TARNIX" = yes ]; then
    echo "mamaproducerc_v2 publishes 10-field updates as fast as it can (median ${O_PUBRATE:-?} msg/s); mamasubscriberc prints every message into a pipe read at ${O_CONSRATE:-?} msg/s (a tenth of the full rate measured above). \`queue_max_size\` 10000 and a client-library hold-back buffer of 10000 messages (\`SESSION_BUFFER_MSG_LIMIT\`), so the consumer reaches the discarded stretch within the run. Sampled about every 0.5 s for ${OVER_SECS} s; the queue depth comes from OpenMAMA's queue statistics, whose timer waits behind the queued messages, so its samples arrive late and sparse."
    echo
    echo "| publisher still running | consumed | lost (sequence gaps) | discard indications | suspensions | resumes | max queue depth | max RSS first half MiB | max RSS second half MiB |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
    echo "| $O_ALIVE | ${O_CONSUMED:-0} | ${O_LOST:-0} | $O_DISCARDS | $O_SUSPEND | $O_RESUME | ${O_DEPTH_MAX:-?} | $O_RSS_FIRST | $O_RSS_SECOND |"
    echo
    echo "| t s | RSS MiB | queue depth | consumed | lost | suspensions |"
    echo "|---:|---:|---:|---:|---:|---:|"
    [ -s "$work/overload.dat" ] &&
      awk 'NR % 4 == 1 {printf "| %s | %.1f | %s | %s | %s | %s |\n", $1, $2 / 1024, $3, $4, $5, $6}' "$work/overload.dat"
    echo
    echo "![overload](e2e-overload.png)"
  else
    echo "$TARNIX_WHY"
  fi
} >"$md.tmp"

# ---- plots ----------------------------------------------------------------------
plots=()
for f in 10 50; do
  for sys in tarnix inproc qpid raw; do
    h=$(median_hist "$sys-$f-$LAT_RATE")
    [ -n "$h" ] && [ -s "$h" ] && plots+=("$f|$sys|$h")
  done
done
if [ ${#plots[@]} -gt 0 ]; then
  {
    echo "set terminal pngcairo size 1200,500 font ',10'"
    echo "set output '$results/e2e-latency.png'"
    echo "set multiplot layout 1,2 title 'One-way latency at $LAT_RATE msg/s ($(date -u +%Y-%m-%d), $(nproc) cores)'"
    echo "set logscale x; set logscale y; set grid"
    echo "set xlabel 'percentile'; set ylabel 'latency (µs)'"
    echo "set xtics ('50%%' 2, '90%%' 10, '99%%' 100, '99.9%%' 1000, '99.99%%' 10000)"
    echo "set xrange [1:20000]; set yrange [10:*]; set key left top"
    for f in 10 50; do
      echo "set title '$f fields'"
      line="plot "
      sep=""
      for e in "${plots[@]}"; do
        IFS='|' read -r pf psys ph <<<"$e"
        [ "$pf" = "$f" ] || continue
        line+="$sep'$ph' using (\$2 >= 100 ? 20000 : 100 / (100 - \$2)):1 with steps lw 2 title '${NAME[$psys]}'"
        sep=", "
      done
      echo "$line"
    done
    echo "unset multiplot"
  } >"$work/latency.gp"
  gnuplot "$work/latency.gp" 2>"$work/gnuplot.err" || log "gnuplot failed: $(head -3 "$work/gnuplot.err")"
fi
if [ "$TARNIX" = yes ] && [ -s "$work/overload.dat" ]; then
  gnuplot <<EOF 2>>"$work/gnuplot.err" || log "gnuplot (overload) failed"
set terminal pngcairo size 900,700 font ',10'
set output '$results/e2e-overload.png'
set multiplot layout 2,1 title 'Overload, tarnix over NATS: consumer at a tenth of the publisher ($(date -u +%Y-%m-%d))'
set grid; set key left top; set xlabel 'time (s)'
set ylabel 'RSS (MiB)'; set y2label 'queue depth'; set y2tics; set ytics nomirror; set yrange [0:*]; set y2range [0:*]
plot '$work/overload.dat' using 1:(\$2/1024) with lines lw 2 title 'subscriber RSS (MiB)', \
     '' using 1:3 axes x1y2 with linespoints title 'queue depth (right)'
unset y2label; unset y2tics; set ytics mirror
set ylabel 'messages'
plot '$work/overload.dat' using 1:4 with lines lw 2 title 'consumed', \
     '' using 1:5 with lines lw 2 title 'lost (sequence gaps)'
unset multiplot
EOF
fi
mv "$md.tmp" "$md"
cat "$md"
log "results in $results"
