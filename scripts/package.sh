#!/usr/bin/env bash
# Builds the Debian package from a Release build and prints its path.
# Usage: bash scripts/package.sh [build folder, build-release by default]
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:-build-release}
# Only what the package holds: no tests, and the compiler's warnings do not stop a user's build.
cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=Release -DANVIL_TESTS=OFF >/dev/null
cmake --build "$folder" -j "$(nproc)" >/dev/null
(cd "$folder" && cpack -G DEB >/dev/null)
ls -t "$folder"/dhcp-anvil_*.deb | head -n 1
