#!/usr/bin/env bash
# Configures and builds one build folder with warnings as errors: scripts/build.sh <folder> [cmake options…]
# Uses Ninja and ccache when they are installed; the cache lives outside the checkout, keyed on
# paths relative to it, so that a fresh clone elsewhere hits what an earlier one compiled.
set -euo pipefail
folder=$1
shift
root=$(cd "$(dirname "$0")/.." && pwd)
options=()
# A folder keeps the generator it was first configured with (scripts/run.sh configures plainly).
if [ ! -f "$folder/CMakeCache.txt" ] && command -v ninja >/dev/null; then
  options+=(-G Ninja)
fi
if command -v ccache >/dev/null; then
  if [ -z "${CCACHE_DIR:-}" ] && mkdir -p /var/cache/dhcp-anvil/ccache 2>/dev/null && [ -w /var/cache/dhcp-anvil/ccache ]; then
    export CCACHE_DIR=/var/cache/dhcp-anvil/ccache
  fi
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=1
  options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$folder" "${options[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DANVIL_WERROR=ON "$@" >/dev/null
cmake --build "$folder" -j "$(nproc)"
