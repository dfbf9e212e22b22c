#!/usr/bin/env bash
# Builds the Debian package build/packages/tarnix_<version>_<arch>.deb
# (installs into /opt/openmama, beside OpenMAMA's own packages) from the
# build in BUILD_DIR (default build), building it first if needed.
# The package appears only complete: it is made in a scratch folder and
# moved into place once dpkg-deb has read it back.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"

log() { printf 'package: %s\n' "$*" >&2; }

if ! command -v dpkg-deb >/dev/null 2>&1; then
  log "dpkg-deb not found on PATH; it comes with Debian's dpkg package (apt-get install dpkg). Nothing was written."
  exit 1
fi
for tool in cmake:cmake cpack:cmake dpkg-shlibdeps:dpkg-dev; do
  if ! command -v "${tool%%:*}" >/dev/null 2>&1; then
    log "${tool%%:*} not found on PATH (Debian package ${tool#*:}). Nothing was written."
    exit 1
  fi
done

if [ ! -f "$build/CPackConfig.cmake" ]; then
  log "no configured build in $build; building it"
  BUILD_DIR="$build" "$here/scripts/build.sh"
else
  log "bringing $build up to date"
  cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
fi

build="$(cd "$build" && pwd)"
scratch="$(mktemp -d "$build/.package.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
log "making the package (CPack)"
if ! (cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1); then
  cat "$scratch/cpack.log" >&2
  log "cpack failed. Nothing was written."
  exit 1
fi
debs=("$scratch"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  cat "$scratch/cpack.log" >&2
  log "cpack made no single .deb. Nothing was written."
  exit 1
fi
deb="${debs[0]}"
dpkg-deb --info "$deb" >/dev/null
dpkg-deb --contents "$deb" >/dev/null
mkdir -p "$build/packages"
name="$(basename "$deb")"
mv -f "$deb" "$build/packages/$name"
log "$build/packages/$name ($(du -k "$build/packages/$name" | cut -f1) KiB)"
