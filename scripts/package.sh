#!/usr/bin/env bash
# Builds the Debian package and prints its path.
# Usage: bash scripts/package.sh [build folder]
# Without a folder: a Release build in build-release with the package's options (package-options.sh),
# no tests, and the compiler's warnings do not stop it, as they do not stop a user's. With a folder
# already configured with those options (scripts/test.sh passes its tested build), it packs the
# programs built there, so that the package holds the very binaries the tests ran.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/package-options.sh
if [ $# -eq 0 ]; then
  folder=build-release
  bash scripts/build.sh "$folder" "${package_options[@]}" -DANVIL_TESTS=OFF -DANVIL_WERROR=OFF >/dev/null
else
  folder=$1
  [ -f "$folder/CMakeCache.txt" ] || { echo "package: $folder is not a configured build folder" >&2; exit 1; }
  # Configuring again with the same options changes nothing; with others, it rebuilds to them.
  cmake -S . -B "$folder" "${package_options[@]}" >/dev/null
  cmake --build "$folder" -j "$(nproc)" >/dev/null
fi
(cd "$folder" && cpack -G DEB >/dev/null)
ls -t "$folder"/dhcp-anvil_*.deb | head -n 1
