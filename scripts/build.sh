#!/usr/bin/env bash
# Sets up dependencies, builds the project into build/ and writes build/env.sh.
#   BUILD_DIR   build directory (default build)
#   Extra arguments go to cmake's configure step.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh"

OPENMAMA_PREFIX="${OPENMAMA_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tarnix/openmama-6.3.1}"
build="${BUILD_DIR:-$here/build}"
jobs="$(nproc 2>/dev/null || echo 2)"

cmake -S "$here" -B "$build" -DOPENMAMA_ROOT="$OPENMAMA_PREFIX" "$@" >/dev/null
cmake --build "$build" -j "$jobs"

# A mama.properties with a working tarnix configuration for any OpenMAMA tool.
mkdir -p "$build/etc"
cp "$here/scripts/mama.properties" "$build/etc/mama.properties"

cat > "$build/env.sh" <<ENV
# Source this file to run OpenMAMA tools against the tarnix plug-ins. The
# transports pub, sub, default and nats of \$WOMBAT_PATH/mama.properties use a
# NATS server on this machine; processes talk only through such a server:
#   nats-server -a 127.0.0.1 -p 4222 -js &
#   . $build/env.sh && mamasubscriberc -m tarnix -tport sub -s MSFT &
#   mamapublisherc -m tarnix -tport pub -s MSFT
export TARNIX_BUILD="$build"
export OPENMAMA_ROOT="$OPENMAMA_PREFIX"
export LD_LIBRARY_PATH="$build/lib:$OPENMAMA_PREFIX/lib\${LD_LIBRARY_PATH:+:\$LD_LIBRARY_PATH}"
export PATH="$build/bin:$OPENMAMA_PREFIX/bin\${PATH:+:\$PATH}"
export WOMBAT_PATH="$build/etc"
ENV
echo "build: done; source $build/env.sh to use it" >&2
