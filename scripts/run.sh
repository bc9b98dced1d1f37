#!/usr/bin/env bash
# Installs what is missing, builds dhcpanvil and runs its main job on a default that needs no
# spare network card: the server in loopback test mode, with a few simulated devices asking it
# for addresses. Usage (as root or not): bash scripts/run.sh [devices]
set -euo pipefail
cd "$(dirname "$0")/.."

devices=${1:-3}
bash scripts/install-deps.sh
# Only the two programs this needs; the build folder is shared with scripts/test.sh.
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target dhcpanvil dhcpanvil-load >/dev/null
tool=build/cli/dhcpanvil
load=build/tools/dhcpanvil-load

work=$(mktemp -d)
trap 'kill -INT "$server" 2>/dev/null || true; rm -rf "$work"' EXIT

"$tool" --version
echo "Serving in loopback test mode (127.0.0.1:6767, replies to 127.0.0.1:6868), leases in $work/leases.json"
"$tool" serve --test-loopback --leases "$work/leases.json" &
server=$!

# Wait for the server to listen, but not forever.
for _ in $(seq 1 50); do
  if ss -Hlun 'sport = :6767' | grep -q .; then break; fi
  sleep 0.1
done

echo "Bringing up $devices simulated devices…"
"$load" --devices "$devices" --exchanges "$devices" --quiet
sleep 0.2
kill -INT "$server"
wait "$server"
echo "The server stopped cleanly; the lease file it left:"
cat "$work/leases.json"
echo
