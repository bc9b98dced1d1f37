#!/usr/bin/env bash
# The desktop application's CPU while it serves a bench: the real window on Qt's offscreen platform
# with 500 stored leases and a device sending one DISCOVER a second. Figures only, nothing asserted.
#
# Usage: bash scripts/bench-app.sh [build folder] [seconds, default 60] [stored leases, default 500]
#   BEFORE=path   another build of anvil_app_serving_benchmark measured first in the same run
#                 (for before/after comparisons: copy the binary aside before changing the app)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-60}
leases=${3:-500}
cmake -S . -B "$build" -DANVIL_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target anvil_app_serving_benchmark -j "$(nproc)" >/dev/null
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
# Qt's offscreen platform says it cannot size windows to their contents; that is not news here.
quiet() { "$@" 2> >(grep -v -e propagateSizeHints -e XDG_RUNTIME_DIR >&2); }
if [ -n "${BEFORE:-}" ]; then
  echo "== before: $BEFORE"
  quiet "$BEFORE" "$seconds" "$leases"
  echo "== after: $build"
fi
quiet "$build/benchmarks/app/anvil_app_serving_benchmark" "$seconds" "$leases"
