#!/usr/bin/env bash
# Installs what is missing, builds dhcpanvil and runs its main job on a default that needs
# no spare network card. Usage (as root): bash scripts/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh build -DANVIL_TESTS=OFF
tool=build/cli/dhcpanvil

# The server itself is not in this build yet: show the version and the usage.
"$tool" --version
"$tool"
