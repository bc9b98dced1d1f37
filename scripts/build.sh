#!/usr/bin/env bash
# Configures and builds one build folder with warnings as errors: scripts/build.sh <folder> [cmake options…]
set -euo pipefail
folder=$1
shift
cmake -S "$(dirname "$0")/.." -B "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DANVIL_WERROR=ON "$@" >/dev/null
cmake --build "$folder" -j "$(nproc)"
