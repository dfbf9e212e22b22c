#!/usr/bin/env bash
# Prints the trxclient benchmark table: raw libnats and our backends measured
# in the same run against one nats-server started here on a free port.
#   bench/trxclient/run.sh BUILD_DIR
set -euo pipefail
build="${1:?usage: run.sh BUILD_DIR}"
bin="$build/bin/trxclient_bench"
[ -x "$bin" ] || { echo "run.sh: $bin not built (TARNIX_BENCH=ON)" >&2; exit 1; }
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
dir=$(mktemp -d)
nats-server -a 127.0.0.1 -p "$port" -js -sd "$dir" > "$dir/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 100); do (echo > /dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.05; done
"$bin" "nats://127.0.0.1:$port"
