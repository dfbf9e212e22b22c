#!/usr/bin/env bash
# Installs what the build, tests, benchmarks and demo need, then builds
# OpenMAMA 6.3.1 into a cache outside the clone. Idempotent: a second run
# only checks and returns.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OPENMAMA_VERSION=6.3.1
cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/tarnix"
OPENMAMA_PREFIX="${OPENMAMA_PREFIX:-$cache_root/openmama-$OPENMAMA_VERSION}"
stamp="$OPENMAMA_PREFIX/.tarnix-stamp"
jobs="$(nproc 2>/dev/null || echo 2)"

log() { printf 'setup: %s\n' "$*" >&2; }

# --- Debian packages -------------------------------------------------------
packages=(
  build-essential cmake pkg-config git
  flex libapr1-dev libevent-dev uuid-dev libqpid-proton11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nats-server libnats-dev libssl-dev openssl
  clang libclang-rt-dev llvm
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
mkdir -p "$cache_root"
exec 9>"$cache_root/.openmama.lock"
flock 9
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$OPENMAMA_VERSION" ]; then
  log "OpenMAMA $OPENMAMA_VERSION cached at $OPENMAMA_PREFIX"
  exit 0
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

log "building OpenMAMA $OPENMAMA_VERSION into $OPENMAMA_PREFIX (a few minutes, once)"
work="$cache_root/build-openmama-$OPENMAMA_VERSION"
rm -rf "$work" "$OPENMAMA_PREFIX"
mkdir -p "$work"
tar -xzf "$tarball" -C "$work"
src="$work/openmama-$OPENMAMA_VERSION"
cmake -S "$src" -B "$work/build" -G "Unix Makefiles" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX="$OPENMAMA_PREFIX" \
  -DCMAKE_INSTALL_RPATH="$OPENMAMA_PREFIX/lib" \
  -DWITH_UNITTEST=ON -DWITH_EXAMPLES=ON -DWITH_TESTTOOLS=ON -DWITH_PROTON=ON \
  -DWITH_MAMDA=OFF -DWITH_JAVA=OFF -DWITH_CSHARP=OFF -DWITH_DOC=OFF -DWITH_CPP=OFF \
  -DINSTALL_RUNTIME_DEPENDENCIES=OFF >"$work/configure.log" 2>&1 \
  || { tail -40 "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" -j "$jobs" >"$work/build.log" 2>&1 \
  || { tail -60 "$work/build.log" >&2; exit 1; }
cmake --install "$work/build" >"$work/install.log" 2>&1 \
  || { tail -40 "$work/install.log" >&2; exit 1; }

# Plug-ins compile against the core's private bridge headers.
priv="$OPENMAMA_PREFIX/include/mama/private"
mkdir -p "$priv"
cp "$src"/mama/c_cpp/src/c/*.h "$priv"/
mkdir -p "$priv/conflation"
cp "$src"/mama/c_cpp/src/c/conflation/*.h "$priv/conflation"/
[ -d "$src/mama/c_cpp/src/c/bridge" ] && mkdir -p "$priv/bridge" && \
  find "$src/mama/c_cpp/src/c/bridge" -maxdepth 1 -name '*.h' -exec cp {} "$priv/bridge"/ \;
# OpenMAMA's data dictionary and test configuration travel with the install.
mkdir -p "$OPENMAMA_PREFIX/share/openmama"
find "$src" -name 'dictionary1.txt' -exec cp {} "$OPENMAMA_PREFIX/share/openmama"/ \; -quit || true

echo "$OPENMAMA_VERSION" > "$stamp"
rm -rf "$work"
log "OpenMAMA $OPENMAMA_VERSION ready at $OPENMAMA_PREFIX"
