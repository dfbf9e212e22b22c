#!/usr/bin/env bash
# The product demo: market data through the tarnix plug-ins over a private
# NATS server whose JetStream stream is the cache. OpenMAMA's stock
# mamalistenc gets each symbol's last value from the cache, then live
# updates, with field names from a dictionary the broker also caches.
#   DEMO_SECONDS  how long mamalistenc listens to live updates (default 5)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
seconds="${DEMO_SECONDS:-5}"
symbols=(AAPL MSFT IBM NVDA ORCL)
source_name=DEMO

say() { printf '\n== %s\n' "$*"; }
# Runs a step with OpenMAMA's log lines kept aside; shows them if it fails.
quiet() {
    if ! "$@" 2>"$work/step.log"; then
        cat "$work/step.log" >&2
        echo "failed: $*" >&2
        exit 1
    fi
}

say "Setting up (the first run installs Debian packages and builds OpenMAMA)"
"$here/scripts/setup.sh"
say "Building (see $build/demo-build.log)"
if ! BUILD_DIR="$build" "$here/scripts/build.sh" >"${TMPDIR:-/tmp}/tarnix-demo-build.$$.log" 2>&1; then
    tail -30 "${TMPDIR:-/tmp}/tarnix-demo-build.$$.log"
    echo "build failed" >&2
    exit 1
fi
mv "${TMPDIR:-/tmp}/tarnix-demo-build.$$.log" "$build/demo-build.log"
# shellcheck source=/dev/null
. "$build/env.sh"

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnix-demo.XXXXXX")"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say "Starting a private nats-server with JetStream on a free loopback port"
# -p -1: the server picks a free port and says which in its log.
nats-server -a 127.0.0.1 -p -1 -js -sd "$work/jetstream" >"$work/nats.log" 2>&1 &
pids+=("$!")
for _ in $(seq 1 200); do
    grep -q "Server is ready" "$work/nats.log" && break
    sleep 0.05
done
grep -q "Server is ready" "$work/nats.log" || { cat "$work/nats.log"; echo "nats-server did not start" >&2; exit 1; }
port="$(sed -n 's/.*Listening for client connections on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/nats.log" | head -1)"
[ -n "$port" ] || { cat "$work/nats.log"; echo "cannot tell nats-server's port" >&2; exit 1; }
echo "   listening on 127.0.0.1:$port"

url="nats://127.0.0.1:$port"
cat >"$work/mama.properties" <<PROPS
mama.tarnix.transport.trxClient_log_level=3
mama.tarnix.transport.demo.SESSION_HOST=$url
mama.tarnix.transport.demo.allow_recover_gaps=true
mama.tarnix.transport.demo.use_trxcache=true
mama.tarnix.payload.version=2
PROPS
export WOMBAT_PATH="$work"

say "Creating the cache: last value of every $source_name/* topic and of the dictionary"
quiet trxcache --server "$url" create "$source_name/>" "#MDDD/>"

say "Loading the data dictionary (OpenMAMA's dictionary1.txt plus market data fields)"
cat "$OPENMAMA_ROOT/share/openmama/dictionary1.txt" "$here/scripts/demo-fields.txt" >"$work/dictionary.txt"
quiet tarnixdict -tport demo -f "$work/dictionary.txt"

symbol_args=()
for s in "${symbols[@]}"; do symbol_args+=(-s "$s"); done

say "Starting the feed for ${symbols[*]}: ordinary updates only, as a live feed sends them (one per symbol a second)"
quiet tarnixmdpub -tport demo -S "$source_name" -count 1 "${symbol_args[@]}"
tarnixmdpub -tport demo -S "$source_name" -interval 1 -seq 2 "${symbol_args[@]}" >"$work/publisher.log" 2>&1 &
pids+=("$!")
sleep 1

say "OpenMAMA's mamalistenc joins the running feed for ${seconds}s"
echo "   Each symbol's first message is its last update, kept by the cache and delivered as the"
echo "   initial value; the ones after it are live updates. Field names come from the cached dictionary."
# Stock mamalistenc has no -p option (an unknown word becomes a field to show);
# the middleware names its payload itself.
mamalistenc -m tarnix -tport demo -S "$source_name" "${symbol_args[@]}" >"$work/listen.log" 2>"$work/listen.err" &
listener=$!
pids+=("$listener")
sleep "$seconds"
kill -INT "$listener" 2>/dev/null || true
wait "$listener" 2>/dev/null || true

say "What mamalistenc printed (fields of each symbol's cached initial value and first live update; later updates by their header line)"
awk '
    / Type: / {
        split($1, name, ".")
        full = ($0 ~ /Type: INITIAL/) || !(name[1] in updated)
        if ($0 ~ /Type: UPDATE/) updated[name[1]] = 1
        print; next
    }
    /^  / { if (full) print; next }
    { print }
' "$work/listen.log"
echo "   $(grep -c "Type: INITIAL" "$work/listen.log" || true) initial values from the cache, $(grep -c "Type: UPDATE" "$work/listen.log" || true) live updates"
if grep -qi "error\|timeout" "$work/listen.err"; then
    say "mamalistenc reported"
    grep -i "error\|timeout" "$work/listen.err" | head -20
fi
say "Done: everything the demo started is stopped"
