#!/usr/bin/env bash
# scripts/cluster.sh as a user runs it: a 3-node cluster started, a
# replicated cache made on it with trxcache, a node killed and the cache
# still shown, the node started again with its storage, and every node
# stopped, none left running. Ports are picked at random (retried when
# taken), files go to a temporary folder.
#   clusterScriptTest.sh SCRIPT TRXCACHE
set -euo pipefail
script="$1"
trxcache="$2"
work="$(mktemp -d)"
export TARNIX_CLUSTER_DIR="$work/cluster"
cleanup() {
  "$script" stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  printf 'FAILED: %s\n' "$*" >&2
  for f in "$work"/*.out; do printf -- '---- %s\n' "$f" >&2; cat "$f" >&2; done
  exit 1
}
expect() { # file text
  grep -qF -- "$2" "$work/$1" || fail "'$2' not in $1"
}

for attempt in 1 2 3 4 5; do
  export TARNIX_CLUSTER_PORT=$((20000 + RANDOM % 9000))
  "$script" start >"$work/start.out" 2>&1 && break
  grep -q "is in use" "$work/start.out" || fail "start"
  "$script" stop >/dev/null
  rm -rf "$TARNIX_CLUSTER_DIR"
done
host="$(sed -n 's/^mama\.tarnix\.transport\.nats\.SESSION_HOST=//p' "$work/start.out")"
[ "$host" = "nats://127.0.0.1:$TARNIX_CLUSTER_PORT,nats://127.0.0.1:$((TARNIX_CLUSTER_PORT + 1)),nats://127.0.0.1:$((TARNIX_CLUSTER_PORT + 2))" ] ||
  fail "SESSION_HOST line: '$host'"
expect start.out "JetStream leader: tarnix-n"
for i in 1 2 3; do
  [ -s "$TARNIX_CLUSTER_DIR/node$i/nats.log" ] && [ -d "$TARNIX_CLUSTER_DIR/node$i/jetstream" ] || fail "node $i files"
done

"$trxcache" --server "$host" --replicas 3 create 'T/>' >"$work/create.out" 2>&1 || fail "create"
expect create.out "file storage, 3 replicas"
"$script" kill 1 >"$work/kill.out" 2>&1 || fail "kill"
"$script" status >"$work/status.out" 2>&1 && fail "status exits 0 with a node stopped"
expect status.out "node 1  tarnix-n1  nats://127.0.0.1:$TARNIX_CLUSTER_PORT  stopped"
grep -q "JetStream leader: tarnix-n1 " "$work/status.out" && fail "status names the stopped node as leader"
# Meta and stream leaders are both re-elected (4-9 s each in NATS' Raft);
# a loaded machine can take longer than the default 10 s.
"$trxcache" --server "$host" --timeout 40 show >"$work/show.out" 2>&1 || fail "show with a node lost"
expect show.out "replicas:      3 (cluster tarnix)"

"$script" start >"$work/restart.out" 2>&1 || fail "start again"
expect restart.out "1 node(s) started"
"$script" status >"$work/status2.out" 2>&1 || fail "status after the restart"
pids="$(cat "$TARNIX_CLUSTER_DIR"/node*/pid)"
"$script" stop >"$work/stop.out" 2>&1 || fail "stop"
expect stop.out "3 node(s) stopped"
for pid in $pids; do
  [ ! -d "/proc/$pid" ] || fail "nats-server $pid still runs after stop"
done
echo "cluster.sh: start, kill, start, stop: passed"
