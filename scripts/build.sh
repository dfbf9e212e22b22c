#!/usr/bin/env bash
# Builds the project into build/ and writes build/env.sh. Runs setup.sh (which
# installs what is missing) only when something the build needs is missing.
#   BUILD_DIR           build directory (default build)
#   OPENMAMA_ROOT       an installed OpenMAMA to build against instead of the
#                       one setup.sh builds; OPENMAMA_SOURCE_DIR then names its
#                       source tree (for the core's private headers)
#   Extra arguments go to cmake's configure step.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/openmama.env
. "$here/scripts/openmama.env"

log() { printf 'build: %s\n' "$*" >&2; }

# True when the tools, libraries or the cached OpenMAMA are not all there.
needs_setup() {
  local c
  for c in cmake cc c++ pkg-config; do
    command -v "$c" >/dev/null 2>&1 || return 0
  done
  pkg-config --exists libnats uuid libcrypto || return 0
  [ -n "${OPENMAMA_ROOT:-}" ] && return 1
  [ -f "$OPENMAMA_PREFIX/.tarnix-stamp" ] && [ "$(cat "$OPENMAMA_PREFIX/.tarnix-stamp")" = "$OPENMAMA_STAMP" ] \
    && return 1
  return 0
}
if needs_setup; then
  "$here/scripts/setup.sh"
fi

root="${OPENMAMA_ROOT:-$OPENMAMA_PREFIX}"
source_dir="${OPENMAMA_SOURCE_DIR:-$root/src/openmama-$OPENMAMA_VERSION}"
build="${BUILD_DIR:-$here/build}"
jobs="$(nproc 2>/dev/null || echo 2)"

log "configuring $build against OpenMAMA in $root"
cmake -S "$here" -B "$build" -DOPENMAMA_ROOT="$root" -DOPENMAMA_SOURCE_DIR="$source_dir" "$@" >/dev/null
log "compiling with $jobs jobs"
cmake --build "$build" -j "$jobs"

# A mama.properties with a working tarnix configuration for any OpenMAMA tool
# (and OpenMAMA's qpid bridge as a baseline).
mkdir -p "$build/etc"
cat "$here/scripts/mama.properties" "$here/scripts/qpid.properties" >"$build/etc/mama.properties"

cat > "$build/env.sh" <<ENV
# Source this file to run OpenMAMA tools against the tarnix plug-ins. The
# transports pub, sub, default and nats of \$WOMBAT_PATH/mama.properties use a
# NATS server on this machine; processes talk only through such a server:
#   nats-server -a 127.0.0.1 -p 4222 -js &
#   . $build/env.sh && mamasubscriberc -m tarnix -tport sub -s MSFT &
#   mamapublisherc -m tarnix -tport pub -s MSFT
export TARNIX_BUILD="$build"
export OPENMAMA_ROOT="$root"
export LD_LIBRARY_PATH="$build/lib:$root/lib\${LD_LIBRARY_PATH:+:\$LD_LIBRARY_PATH}"
export PATH="$build/bin:$root/bin\${PATH:+:\$PATH}"
export WOMBAT_PATH="$build/etc"
ENV
log "done; source $build/env.sh to use it"
