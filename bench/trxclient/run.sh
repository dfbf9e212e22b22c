#!/usr/bin/env bash
# Prints the trxclient benchmark table: raw libnats and our backends measured
# in the same run against one nats-server started here on a free port.
#   bench/trxclient/run.sh BUILD_DIR
set -euo pipefail
build="${1:?usage: run.sh BUILD_DIR}"
bin="$build/bin/trxclient_bench"
[ -x "$bin" ] || { echo "run.sh: $bin not built (TARNIX_BENCH=ON)" >&2; exit 1; }
dir=$(mktemp -d)
# -p -1: the server picks a free port and says which in its log.
nats-server -a 127.0.0.1 -p -1 -js -sd "$dir" > "$dir/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null || true; rm -rf "$dir"' EXIT
port=""
for _ in $(seq 200); do
    port=$(sed -n 's/.*Listening for client connections on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$dir/server.log" | head -1)
    [ -n "$port" ] && grep -q "Server is ready" "$dir/server.log" && break
    sleep 0.05
done
[ -n "$port" ] || { cat "$dir/server.log" >&2; echo "run.sh: nats-server did not start" >&2; exit 1; }
"$bin" "nats://127.0.0.1:$port"
