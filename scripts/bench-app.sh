#!/usr/bin/env bash
# The desktop application's CPU while it serves a bench: the real window on Qt's offscreen platform
# with 500 stored leases and a device sending one DISCOVER a second. Figures only, nothing asserted.
#
# Usage: bash scripts/bench-app.sh [build folder] [seconds, default 60] [stored leases, default 500]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-60}
leases=${3:-500}
cmake -S . -B "$build" -DANVIL_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target anvil_app_serving_benchmark -j "$(nproc)" >/dev/null
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$build/benchmarks/app/anvil_app_serving_benchmark" "$seconds" "$leases"
