#!/usr/bin/env bash
# Loopback throughput and latency of dhcpanvil next to Kea, printed side by side; figures only,
# nothing is asserted. Each server answers 127.0.0.1:6868 from 127.0.0.1:6767 in turn, and
# dhcpanvil-load runs whole DISCOVER-to-ACK exchanges with 1, 8 and 32 simulated devices.
#
# Usage: bash scripts/bench-loopback.sh [build folder]
#   DHCPANVIL=path   another dhcpanvil to measure (for before/after comparisons)
#   EXCHANGES=n      exchanges per run (default 4000)
#   SKIP_KEA=1       measure dhcpanvil alone
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
tool=${DHCPANVIL:-$build/cli/dhcpanvil}
load=$build/tools/dhcpanvil-load
exchanges=${EXCHANGES:-4000}
device_counts=(1 8 32)
kea=/usr/sbin/kea-dhcp4

for program in "$tool" "$load"; do
  [ -x "$program" ] || { echo "bench-loopback: $program is missing; build first (scripts/build.sh $build)" >&2; exit 1; }
done
if [ -z "${SKIP_KEA:-}" ] && [ ! -x "$kea" ]; then
  echo "bench-loopback: installing kea-dhcp4-server for the comparison" >&2
  bash "$(dirname "$0")/install-deps.sh" kea-dhcp4-server
fi

work=$(mktemp -d)
server=
cleanup() {
  if [ -n "$server" ]; then kill -INT "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

port_busy() { ss -Hlun 'sport = :6767' | grep -q .; }

wait_for_listener() {
  for _ in $(seq 1 100); do
    port_busy && return 0
    sleep 0.05
  done
  echo "bench-loopback: no server is listening on 127.0.0.1:6767" >&2
  return 1
}

stop_server() {
  kill -INT "$server" 2>/dev/null || kill "$server" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$server" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  server=
}

# Prints "exchanges/s p50 p99 failed" of one load run.
measure() {
  local devices=$1 count=$2 line
  line=$("$load" --devices "$devices" --exchanges "$count" --timeout-ms 500 --quiet || true)
  echo "$line" | sed -nE 's/.* ([0-9.]+) exchanges\/s, latency p50 ([0-9.]+) ms, p99 ([0-9.]+) ms; ([0-9]+) failed.*/\1 \2 \3 \4/p'
}

peak_rss_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

if port_busy; then
  echo "bench-loopback: port 6767 is already taken" >&2
  exit 1
fi

declare -A ours theirs

echo "== dhcpanvil ($tool)"
"$tool" serve --test-loopback --server 10.90.0.1/16 --range 10.90.1.1-10.90.40.254 --lease 1h \
  --leases "$work/leases.json" >"$work/anvil.out" 2>&1 &
server=$!
wait_for_listener
"$load" --devices 8 --exchanges 64 --quiet >/dev/null || true  # warm up
for devices in "${device_counts[@]}"; do
  ours[$devices]=$(measure "$devices" "$exchanges")
  echo "  $devices devices: ${ours[$devices]}"
done
# Peak memory with 500 leases in the table.
"$load" --devices 500 --exchanges 500 --quiet >/dev/null || true
leases=$(grep -o '"mac"' "$work/leases.json" | wc -l)
rss=$(peak_rss_kb "$server")
stop_server

if [ -z "${SKIP_KEA:-}" ]; then
  echo "== kea-dhcp4 $("$kea" -v) (memfile lease file, loopback test mode)"
  cat >"$work/kea.json" <<EOF
{
  "Dhcp4": {
    "interfaces-config": { "interfaces": [ "lo" ], "dhcp-socket-type": "udp" },
    "lease-database": { "type": "memfile", "persist": true, "name": "$work/kea-leases.csv", "lfc-interval": 0 },
    "valid-lifetime": 3600,
    "subnet4": [ { "id": 1, "subnet": "127.0.0.0/8", "pools": [ { "pool": "127.90.1.1 - 127.90.40.254" } ] } ],
    "loggers": [ { "name": "kea-dhcp4", "output_options": [ { "output": "$work/kea.log" } ], "severity": "ERROR" } ]
  }
}
EOF
  KEA_TEST_SEND_RESPONSES_TO_SOURCE=ENABLE KEA_PIDFILE_DIR=$work KEA_LOCKFILE_DIR=$work \
    "$kea" -p 6767 -P 6868 -c "$work/kea.json" >"$work/kea.out" 2>&1 &
  server=$!
  wait_for_listener
  "$load" --devices 8 --exchanges 64 --quiet >/dev/null || true
  for devices in "${device_counts[@]}"; do
    theirs[$devices]=$(measure "$devices" "$exchanges")
    echo "  $devices devices: ${theirs[$devices]}"
  done
  kea_rss=$(peak_rss_kb "$server")
  stop_server
fi

echo
printf '%-8s | %-30s | %-30s | %s\n' devices "dhcpanvil ex/s  p50 ms  p99 ms" "kea ex/s  p50 ms  p99 ms" "ex/s ratio"
for devices in "${device_counts[@]}"; do
  read -r rate p50 p99 failed <<<"${ours[$devices]:-0 0 0 0}"
  if [ -n "${theirs[$devices]:-}" ]; then
    read -r krate kp50 kp99 kfailed <<<"${theirs[$devices]}"
    ratio=$(awk -v a="$rate" -v b="$krate" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
  else
    krate=- kp50=- kp99=- kfailed=0 ratio=-
  fi
  printf '%-8s | %8s  %6s  %6s %6s | %8s  %6s  %6s %6s | %s\n' "$devices" "$rate" "$p50" "$p99" \
    "$( [ "$failed" = 0 ] && echo "" || echo "(${failed}f)")" "$krate" "$kp50" "$kp99" \
    "$( [ "$kfailed" = 0 ] && echo "" || echo "(${kfailed}f)")" "$ratio"
done
echo "dhcpanvil peak RSS: $((rss / 1024)).$(((rss % 1024) * 10 / 1024)) MB with $leases leases in the file"
[ -n "${kea_rss:-}" ] && echo "kea-dhcp4 peak RSS: $((kea_rss / 1024)).$(((kea_rss % 1024) * 10 / 1024)) MB"
exit 0
