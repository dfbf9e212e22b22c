#!/usr/bin/env bash
# Installs what the build, tests, benchmarks and demo need, then builds
# OpenMAMA 6.3.1 (C and C++ APIs) into a cache outside the clone. Idempotent:
# a second run only checks and returns.
#   OPENMAMA_PREFIX   where OpenMAMA is built (default below); setup.sh builds
#                     only in an empty folder or one with its own unfinished
#                     build, and never removes the folder itself
#   OPENMAMA_TARBALL  the OpenMAMA source archive
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/openmama.env
. "$here/scripts/openmama.env"
stamp="$OPENMAMA_PREFIX/.tarnix-stamp"
jobs="$(nproc 2>/dev/null || echo 2)"

log() { printf 'setup: %s\n' "$*" >&2; }

# --- Debian packages -------------------------------------------------------
packages=(
  build-essential cmake pkg-config git
  flex libapr1-dev libevent-dev uuid-dev libqpid-proton11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nats-server libnats-dev libssl-dev openssl
  clang libclang-rt-dev llvm clang-format
  gnuplot-nox
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing Debian packages: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- OpenMAMA ---------------------------------------------------------------
# Several builds may start at once; only one of them builds OpenMAMA.
mkdir -p "$OPENMAMA_CACHE"
exec 9>"$OPENMAMA_CACHE/.openmama.lock"
flock 9
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$OPENMAMA_STAMP" ]; then
  log "OpenMAMA $OPENMAMA_VERSION ($OPENMAMA_FLAVOUR) cached at $OPENMAMA_PREFIX"
  exit 0
fi

# The prefix is ours to build in when it is empty or missing, or holds an
# unfinished build of ours (stamp "building"). Anything else, a finished
# build of another OpenMAMA version or flavour included, belongs to someone.
unfinished=""
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = building ]; then
  unfinished=1
elif [ -e "$OPENMAMA_PREFIX" ] && [ -n "$(ls -A "$OPENMAMA_PREFIX" 2>/dev/null || echo x)" ]; then
  if [ -f "$stamp" ]; then
    what="holds another OpenMAMA build ($(head -c 64 "$stamp"), not $OPENMAMA_STAMP)"
  else
    what="exists and was not made by this script (no .tarnix-stamp in it)"
  fi
  cat >&2 <<MSG
setup: $OPENMAMA_PREFIX $what;
  it is left untouched. To build against an OpenMAMA installed there, run
    OPENMAMA_ROOT=$OPENMAMA_PREFIX scripts/build.sh
  otherwise set OPENMAMA_PREFIX to a new folder.
MSG
  exit 1
fi

tarball="${OPENMAMA_TARBALL:-}"
if [ -z "$tarball" ]; then
  tarball="$here/../shared/deps/openmama-$OPENMAMA_VERSION-src.tar.gz"
fi
if [ ! -f "$tarball" ]; then
  cat >&2 <<MSG
setup: OpenMAMA $OPENMAMA_VERSION source not found.
  Looked for: $tarball
  Download the OpenMAMA-$OPENMAMA_VERSION-release source archive (finos/OpenMAMA)
  and run again with OPENMAMA_TARBALL=/path/to/openmama-$OPENMAMA_VERSION-src.tar.gz
MSG
  exit 1
fi

# Runs one long step with its output in LOG, saying every 30 s which stage
# it is in, how far make says it is and how long it has taken so far.
started=$SECONDS
stage() {
  local name="$1" logfile="$2"; shift 2
  local t0=$SECONDS pid pct
  log "OpenMAMA: $name ..."
  "$@" >"$logfile" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    for _ in $(seq 30); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 1
    done
    kill -0 "$pid" 2>/dev/null || break
    pct="$(grep -o '^\[ *[0-9]*%\]' "$logfile" 2>/dev/null | tail -1 | tr -d '[] ' || true)"
    log "OpenMAMA: $name${pct:+ $pct}, $(( SECONDS - t0 ))s (setup $(( SECONDS - started ))s so far)"
  done
  if ! wait "$pid"; then
    tail -60 "$logfile" >&2
    log "OpenMAMA: $name failed; full log: $logfile"
    exit 1
  fi
  log "OpenMAMA: $name done in $(( SECONDS - t0 ))s"
}

log "building OpenMAMA $OPENMAMA_VERSION ($OPENMAMA_FLAVOUR) into $OPENMAMA_PREFIX (a few minutes, once)"
mkdir -p "$OPENMAMA_PREFIX"
if [ -n "$unfinished" ]; then
  # Its contents are ours; the folder itself may not be.
  find "$OPENMAMA_PREFIX" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
fi
echo "building" > "$stamp"
work="$(mktemp -d "$OPENMAMA_CACHE/build-openmama.XXXXXX")"
trap 'rm -rf "$work"' EXIT
# The source stays with the install: the tests compile against its private
# headers (OPENMAMA_SOURCE_DIR).
mkdir -p "$OPENMAMA_PREFIX/src"
tar -xzf "$tarball" -C "$OPENMAMA_PREFIX/src"
src="$OPENMAMA_PREFIX/src/openmama-$OPENMAMA_VERSION"
stage configure "$OPENMAMA_CACHE/openmama-configure.log" \
  cmake -S "$src" -B "$work/build" -G "Unix Makefiles" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX="$OPENMAMA_PREFIX" \
  -DCMAKE_INSTALL_RPATH="$OPENMAMA_PREFIX/lib" \
  -DWITH_UNITTEST=ON -DWITH_EXAMPLES=ON -DWITH_TESTTOOLS=ON -DWITH_PROTON=ON -DWITH_CPP=ON \
  -DWITH_MAMDA=OFF -DWITH_JAVA=OFF -DWITH_CSHARP=OFF -DWITH_DOC=OFF \
  -DINSTALL_RUNTIME_DEPENDENCIES=OFF
stage compile "$OPENMAMA_CACHE/openmama-compile.log" cmake --build "$work/build" -j "$jobs"
stage install "$OPENMAMA_CACHE/openmama-install.log" cmake --install "$work/build"

# OpenMAMA's data dictionary and test configuration travel with the install.
mkdir -p "$OPENMAMA_PREFIX/share/openmama"
cp "$src/mama/c_cpp/src/gunittest/c/dictionary1.txt" "$OPENMAMA_PREFIX/share/openmama/"

echo "$OPENMAMA_STAMP" > "$stamp"
log "OpenMAMA $OPENMAMA_VERSION ready at $OPENMAMA_PREFIX after $(( SECONDS - started ))s"
