#!/usr/bin/env bash
# A NATS cluster with JetStream on this machine, for a replicated cache:
#   scripts/cluster.sh start [N]   start N nodes (3); nodes already running stay
#   scripts/cluster.sh status      which nodes run, who leads JetStream
#   scripts/cluster.sh kill NODE   kill node NODE (1..N) at once, to see a failover
#   scripts/cluster.sh stop        stop the nodes this script started
# Nodes listen on 127.0.0.1 only: clients on TARNIX_CLUSTER_PORT (4222) and
# up, routes 2000 above, monitoring 4000 above. Each node keeps its
# configuration, log and JetStream files under TARNIX_CLUSTER_DIR (cluster/
# in the clone): stop and start again, and the cached values are still there;
# remove the folder to start afresh.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${TARNIX_CLUSTER_DIR:-$here/cluster}"
base="${TARNIX_CLUSTER_PORT:-4222}"
server="${NATS_SERVER:-nats-server}"

say() { printf '%s\n' "$*"; }
die() { printf 'cluster.sh: %s\n' "$*" >&2; exit 1; }

usage() {
  sed -n '2,11s/^# \{0,1\}//p' "$0" >&2
  exit 2
}

client_port() { echo $((base + $1 - 1)); }
route_port() { echo $((base + 2000 + $1 - 1)); }
http_port() { echo $((base + 4000 + $1 - 1)); }

# Something listens on the port (bash's own /dev/tcp: no other tool needed).
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# GET on a node's monitoring port; the body, or nothing.
monitor() {
  local body
  body="$( (exec 3<>"/dev/tcp/127.0.0.1/$(http_port "$1")" &&
    printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$2" >&3 && timeout 5 cat <&3) 2>/dev/null || true)"
  printf '%s' "${body#*$'\r\n\r\n'}"
}

# The pid of node i when it is running, and is the nats-server this script
# started with that node's configuration (a pid file may outlive its process
# and the number be reused).
node_pid() {
  local pidfile="$dir/node$1/pid" pid
  [ -f "$pidfile" ] || return 1
  pid="$(cat "$pidfile")"
  [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "$dir/node$1/nats.conf" || return 1
  echo "$pid"
}

node_count() {
  [ -f "$dir/nodes" ] && cat "$dir/nodes" || echo 0
}

urls() {
  local n="$1" i out=""
  for ((i = 1; i <= n; i++)); do out+="${out:+,}nats://127.0.0.1:$(client_port "$i")"; done
  echo "$out"
}

write_config() {
  local n="$1" i="$2" routes="" j
  mkdir -p "$dir/node$i/jetstream"
  for ((j = 1; j <= n; j++)); do
    [ "$j" -eq "$i" ] || routes+="${routes:+, }nats-route://127.0.0.1:$(route_port "$j")"
  done
  {
    echo "# Written by scripts/cluster.sh; node $i of $n."
    echo "server_name: tarnix-n$i"
    echo "listen: 127.0.0.1:$(client_port "$i")"
    echo "http: 127.0.0.1:$(http_port "$i")"
    echo "pid_file: \"$dir/node$i/pid\""
    echo "jetstream { store_dir: \"$dir/node$i/jetstream\" }"
    if [ "$n" -gt 1 ]; then
      echo "cluster { name: tarnix, listen: 127.0.0.1:$(route_port "$i"), routes: [ $routes ] }"
    fi
  } >"$dir/node$i/nats.conf"
}

meta_leader() {
  monitor "$1" /jsz | tr -d ' \n' | sed -n 's/.*"meta_cluster":{[^}]*"leader":"\([^"]*\)".*/\1/p'
}

# JetStream's leader sees all n nodes as current peers: only then can it
# place every copy of a replicated stream ("no suitable peers" before).
meta_formed() {
  local n="$1" i
  for ((i = 1; i <= n; i++)); do
    [ "$(monitor "$i" /jsz | tr -d ' \n' | grep -o '"current":true' | wc -l)" -ge $((n - 1)) ] && return 0
  done
  return 1
}

start() {
  local n="${1:-3}" have i p started=() pids=()
  [[ "$n" =~ ^[1-9]$ ]] || die "start: the number of nodes is 1 to 9, not '$n'"
  command -v "$server" >/dev/null || die "$server not found: run scripts/setup.sh (it installs nats-server)"
  have="$(node_count)"
  if [ "$have" -ne 0 ] && [ "$have" -ne "$n" ]; then
    die "$dir holds a $have-node cluster; to make a $n-node one: scripts/cluster.sh stop && rm -rf '$dir'"
  fi
  mkdir -p "$dir"
  echo "$n" >"$dir/nodes"
  for ((i = 1; i <= n; i++)); do
    node_pid "$i" >/dev/null && continue
    for p in "$(client_port "$i")" "$(route_port "$i")" "$(http_port "$i")"; do
      listening "$p" && die "port $p (node $i) is in use by another program; choose other ports with TARNIX_CLUSTER_PORT"
    done
    write_config "$n" "$i"
    # The node outlives this script and the terminal (a background job of a
    # script ignores ^C); it writes its pid file itself.
    rm -f "$dir/node$i/pid"
    nohup "$server" -c "$dir/node$i/nats.conf" >>"$dir/node$i/nats.log" 2>&1 </dev/null &
    pids[$i]=$!
    started+=("$i")
  done
  for i in "${started[@]}"; do
    for ((p = 0; p < 100; p++)); do
      listening "$(client_port "$i")" && break
      kill -0 "${pids[$i]}" 2>/dev/null || die "node $i did not start; see $dir/node$i/nats.log"
      sleep 0.1
    done
    listening "$(client_port "$i")" || die "node $i does not listen; see $dir/node$i/nats.log"
  done
  # JetStream is usable once the nodes have elected its leader and it knows
  # them all.
  if [ "$n" -gt 1 ]; then
    for ((p = 0; p < 300; p++)); do
      meta_formed "$n" && break
      sleep 0.1
    done
    meta_formed "$n" || say "warning: JetStream has no leader that sees every node yet; see scripts/cluster.sh status"
  fi
  say "${#started[@]} node(s) started; files under $dir"
  status || true
  say ""
  say "For mama.properties (transport nats; any transport name works):"
  say "mama.tarnix.transport.nats.SESSION_HOST=$(urls "$n")"
  if [ "$n" -ge 3 ]; then
    say "A replicated cache:  trxcache --server $(urls "$n") --replicas 3 create 'SOURCE/>'"
  fi
}

status() {
  local n i pid leader="" running=0 stopped=" "
  n="$(node_count)"
  [ "$n" -gt 0 ] || { say "no cluster in $dir (scripts/cluster.sh start)"; return 3; }
  for ((i = 1; i <= n; i++)); do
    if pid="$(node_pid "$i")"; then
      running=$((running + 1))
      [ -n "$leader" ] || leader="$(meta_leader "$i")"
      say "  node $i  tarnix-n$i  nats://127.0.0.1:$(client_port "$i")  running (pid $pid)"
    else
      say "  node $i  tarnix-n$i  nats://127.0.0.1:$(client_port "$i")  stopped"
      stopped+="tarnix-n$i "
    fi
  done
  # A survivor keeps naming a dead leader until the next election ends.
  if [ -n "$leader" ] && [[ "$stopped" == *" $leader "* ]]; then
    leader="none yet ($leader is stopped; the running nodes elect another within seconds)"
  fi
  if [ "$n" -gt 1 ]; then
    say "  JetStream leader: ${leader:-none}   (each stream has its own: trxcache show)"
  fi
  [ "$running" -eq "$n" ] || return 3
}

kill_node() {
  local i="${1:-}" pid
  [[ "$i" =~ ^[1-9]$ ]] && [ "$i" -le "$(node_count)" ] || die "kill: name a node from 1 to $(node_count)"
  pid="$(node_pid "$i")" || die "node $i is not running"
  kill -KILL "$pid"
  rm -f "$dir/node$i/pid"
  say "node $i (pid $pid) killed; scripts/cluster.sh start brings it back with its storage"
}

stop() {
  local n i pid k stopped=0
  n="$(node_count)"
  for ((i = 1; i <= n; i++)); do
    pid="$(node_pid "$i")" || { rm -f "$dir/node$i/pid"; continue; }
    kill -TERM "$pid"
    for ((k = 0; k < 50; k++)); do
      [ -d "/proc/$pid" ] || break
      sleep 0.1
    done
    [ -d "/proc/$pid" ] && kill -KILL "$pid"
    rm -f "$dir/node$i/pid"
    stopped=$((stopped + 1))
  done
  say "$stopped node(s) stopped; their files stay in $dir"
}

case "${1:-}" in
  start) start "${2:-3}" ;;
  stop) stop ;;
  status) status ;;
  kill) kill_node "${2:-}" ;;
  *) usage ;;
esac
