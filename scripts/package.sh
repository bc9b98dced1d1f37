#!/usr/bin/env bash
# Builds the Debian package from a Release build and prints its path.
# Usage: bash scripts/package.sh [build folder, build-release by default]
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:-build-release}
# Only what the package holds, no tests, with Debian's hardening flags; the compiler's warnings do
# not stop this build, as they do not stop a user's.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { dpkg-buildflags --get "$1" | sed 's/\(^\| \)-g\( \|$\)/ /'; }
cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=Release -DANVIL_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$folder" -j "$(nproc)" >/dev/null
(cd "$folder" && cpack -G DEB >/dev/null)
ls -t "$folder"/dhcp-anvil_*.deb | head -n 1
