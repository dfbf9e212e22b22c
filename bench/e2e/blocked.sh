#!/usr/bin/env bash
# Resident memory of a subscriber that stopped reading its output while large
# updates keep coming: mamasubscriberc's standard output goes to a pipe that
# nobody reads, tarnixmdpub sends BYTES-large updates at RATE a second, and
# the subscriber's RSS is sampled every 0.5 s for SECONDS.
#
#   bench/e2e/blocked.sh BUILD_DIR BYTES RATE SECONDS [mama.properties line ...]
#
# e.g. bench/e2e/blocked.sh build 20000 2000 30
#      bench/e2e/blocked.sh build 1048576 50 30 mama.tarnix.transport.sub.max_pending_bytes=33554432
# Prints one line: what the broker took in, and the largest and last RSS.
# Everything runs on 127.0.0.1; every process started here is stopped by its
# id on exit.
set -uo pipefail

build="$(cd "${1:?usage: blocked.sh BUILD_DIR BYTES RATE SECONDS [property ...]}" && pwd)"
bytes=${2:?BYTES}
rate=${3:?RATE}
secs=${4:?SECONDS}
shift 4
. "$build/env.sh"
BIN="$build/bin"

work="$(mktemp -d "${TMPDIR:-/tmp}/bench-blocked.XXXXXX")"
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -KILL "$p"; done
  wait
  rm -rf "$work"
}
# Quiet: the shell would report each process it killed.
trap 'cleanup 2>/dev/null' EXIT
trap 'exit 130' INT TERM

port=$("$BIN/benchutil" port)
http=$("$BIN/benchutil" port)
cat >"$work/nats.conf" <<CONF
listen: 127.0.0.1:$port
http: 127.0.0.1:$http
max_payload: 2MB
CONF
nats-server -c "$work/nats.conf" >"$work/nats.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$http/varz" >/dev/null && break; sleep 0.1; done

{
  for t in pub sub; do
    echo "mama.tarnix.transport.$t.SESSION_HOST=nats://127.0.0.1:$port"
    echo "mama.tarnix.transport.$t.allow_recover_gaps=true"
  done
  echo "mama.tarnix.transport.queue_max_size=100000"
  for line in "$@"; do echo "$line"; done
} >"$work/mama.properties"
export WOMBAT_PATH="$work"

# The read end stays open and unread: the subscriber blocks on its output.
mkfifo "$work/out"
sleep 100000 <>"$work/out" &
pids+=($!)
mamasubscriberc -m tarnix -tport sub -s SRC.BIG >"$work/out" 2>"$work/sub.err" &
sub=$!
pids+=($sub)
sleep 1.5

# Bursts every 10 ms.
burst=$(( (rate + 99) / 100 ))
"$BIN/tarnixmdpub" -tport pub -S SRC -s BIG -pad "$bytes" -interval 0.01 -burst "$burst" >"$work/pub.log" 2>&1 &
pids+=($!)

rss() { awk '/VmRSS/ {print $2}' "/proc/$sub/status" 2>/dev/null || echo 0; }
max=0
last=0
for _ in $(seq $((secs * 2))); do
  sleep 0.5
  last=$(rss)
  [ "${last:-0}" -gt "$max" ] && max=$last
done
varz=$(curl -sf "http://127.0.0.1:$http/varz")
in_msgs=$(sed -n 's/.*"in_msgs": *\([0-9]*\).*/\1/p' <<<"$varz")
in_bytes=$(sed -n 's/.*"in_bytes": *\([0-9]*\).*/\1/p' <<<"$varz")
echo "bytes=$bytes rate=$rate seconds=$secs: broker took $in_msgs messages, $((in_bytes >> 20)) MiB;" \
  "subscriber RSS max $((max >> 10)) MiB, last $((last >> 10)) MiB"
