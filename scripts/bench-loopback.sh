#!/usr/bin/env bash
# Loopback throughput and latency of dhcpanvil next to Kea, printed side by side; figures only,
# nothing is asserted. Each server answers 127.0.0.1:6868 from 127.0.0.1:6767 in turn, and
# dhcpanvil-load runs whole DISCOVER-to-ACK exchanges with 1, 8 and 32 simulated devices. Each
# figure is the median of ROUNDS rounds, the servers taken in turn in each round (on a shared
# machine the server measured first after a quiet spell is slower, whichever it is). Last, dhcpanvil-sync-probe measures what a durable append
# costs on the disk under the lease file, and the durable limit is printed: the exchanges a second
# of a server as fast as Kea that waits for one fdatasync per exchange (Kea never syncs).
#
# Usage: bash scripts/bench-loopback.sh [--new-devices] [--earlier N] [build folder]
#   --new-devices    every exchange is a device never seen before, released after its ACK
#                    (a bench that brings up one device after another)
#   --earlier N      the same, starting from a lease file that already holds N released devices
#                    (Kea is given the same N devices through the load generator first)
#   DHCPANVIL=path   another dhcpanvil to measure (for before/after comparisons)
#   BEFORE=path      a second dhcpanvil measured in the same run, shown as its own column
#   EXCHANGES=n      exchanges per run (default 4000; 2000 with new devices)
#   DEVICES="1 8"    simulated device counts (default "1 8 32"; "1 8" with new devices)
#   ROUNDS=n         rounds, the median shown (default 3)
#   SKIP_KEA=1       measure dhcpanvil alone
set -euo pipefail
cd "$(dirname "$0")/.."

new_devices=
earlier=0
while [ $# -gt 0 ]; do
  case $1 in
    --new-devices) new_devices=1; shift ;;
    --earlier) new_devices=1; earlier=$2; shift 2 ;;
    *) break ;;
  esac
done
build=${1:-build}
tool=${DHCPANVIL:-$build/cli/dhcpanvil}
before=${BEFORE:-}
load=$build/tools/dhcpanvil-load
sync_probe=$build/tools/dhcpanvil-sync-probe
rounds=${ROUNDS:-3}
if [ -n "$new_devices" ]; then
  exchanges=${EXCHANGES:-2000}
  read -r -a device_counts <<<"${DEVICES:-1 8}"
  load_mode=(--new-devices)
else
  exchanges=${EXCHANGES:-4000}
  read -r -a device_counts <<<"${DEVICES:-1 8 32}"
  load_mode=()
fi
kea=/usr/sbin/kea-dhcp4

for program in "$tool" "$load" "$sync_probe" ${before:+"$before"}; do
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
  for _ in $(seq 1 200); do
    port_busy && return 0
    sleep 0.05
  done
  echo "bench-loopback: no server is listening on 127.0.0.1:6767" >&2
  return 1
}

stop_server() {
  kill -INT "$server" 2>/dev/null || kill "$server" 2>/dev/null || true
  for _ in $(seq 1 600); do
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
  line=$("$load" "${load_mode[@]}" --devices "$devices" --exchanges "$count" --timeout-ms 500 --quiet || true)
  echo "$line" | sed -nE 's/.* ([0-9.]+) exchanges\/s, latency p50 ([0-9.]+) ms, p99 ([0-9.]+) ms; ([0-9]+) failed.*/\1 \2 \3 \4/p'
}

# The run with the median rate of a server's rounds, from its runs one per line.
median_run() { sort -n -k1,1 | sed -n "$(((rounds + 1) / 2))p"; }

# A server's first exchanges after a quiet spell are slow (caches, CPU frequency): not measured.
warm_up() { "$load" --devices 8 --exchanges 1000 --quiet >/dev/null || true; }

peak_rss_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

# A lease file holding N released devices that were seen an hour ago, in the server's range
# (which holds 62,750 addresses, so that 50,000 earlier devices fit in it).
earlier_lease_file() {
  awk -v n="$1" 'BEGIN {
    printf "{\n  \"leases\" : [\n"
    for (i = 0; i < n; i++) {
      printf "    {\n      \"expiresAt\" : \"2025-01-02T03:04:05Z\",\n      \"firstSeen\" : \"2025-01-01T03:04:05Z\",\n"
      printf "      \"ip\" : \"10.90.%d.%d\",\n      \"lastSeen\" : \"2025-01-01T03:04:05Z\",\n", 1 + int(i / 250), 1 + i % 250
      printf "      \"mac\" : \"02:ee:00:%02x:%02x:%02x\",\n      \"state\" : \"released\"\n    }%s\n", int(i / 65536) % 256, int(i / 256) % 256, i % 256, (i + 1 < n ? "," : "")
    }
    printf "  ],\n  \"quarantine\" : [],\n  \"version\" : 1\n}"
  }'
}

if port_busy; then
  echo "bench-loopback: port 6767 is already taken" >&2
  exit 1
fi

declare -A results runs rss_of leases_of
columns=()

# One round of one server: each device count measured once.
measure_round() {
  local label=$1 devices line
  for devices in "${device_counts[@]}"; do
    line=$(measure "$devices" "$exchanges")
    runs[$label,$devices]+="$line"$'\n'
    echo "  $devices devices: $line"
  done
}

# Measures one dhcpanvil under the label given.
run_dhcpanvil() {
  local label=$1 program=$2
  rm -f "$work"/leases.json*
  [ "$earlier" -gt 0 ] && earlier_lease_file "$earlier" >"$work/leases.json"
  echo "== $label ($program)"
  "$program" serve --test-loopback --server 10.90.0.1/16 --range 10.90.1.1-10.90.250.254 --lease 1h \
    --leases "$work/leases.json" >"$work/anvil.out" 2>&1 &
  server=$!
  wait_for_listener
  warm_up
  measure_round "$label"
  # Peak memory with 500 more leases in the table.
  "$load" --devices 500 --exchanges 500 --quiet >/dev/null || true
  rss_of[$label]=$(peak_rss_kb "$server")
  stop_server
  leases_of[$label]=$(grep -o '"mac"' "$work/leases.json" | wc -l)
}

run_kea() {
  local label=kea
  rm -f "$work"/kea-leases.csv*
  echo "== kea-dhcp4 $("$kea" -v) (memfile lease file, loopback test mode)"
  cat >"$work/kea.json" <<EOF2
{
  "Dhcp4": {
    "interfaces-config": { "interfaces": [ "lo" ], "dhcp-socket-type": "udp" },
    "lease-database": { "type": "memfile", "persist": true, "name": "$work/kea-leases.csv", "lfc-interval": 0 },
    "valid-lifetime": 3600,
    "subnet4": [ { "id": 1, "subnet": "127.0.0.0/8", "pools": [ { "pool": "127.90.1.1 - 127.90.250.254" } ] } ],
    "loggers": [ { "name": "kea-dhcp4", "output_options": [ { "output": "$work/kea.log" } ], "severity": "ERROR" } ]
  }
}
EOF2
  KEA_TEST_SEND_RESPONSES_TO_SOURCE=ENABLE KEA_PIDFILE_DIR=$work KEA_LOCKFILE_DIR=$work \
    "$kea" -p 6767 -P 6868 -c "$work/kea.json" >"$work/kea.out" 2>&1 &
  server=$!
  wait_for_listener
  warm_up
  [ "$earlier" -gt 0 ] && { "$load" --new-devices --devices 32 --exchanges "$earlier" --quiet >/dev/null || true; }
  measure_round "$label"
  rss_of[$label]=$(peak_rss_kb "$server")
  stop_server
}

columns=(dhcpanvil ${before:+before})
[ -z "${SKIP_KEA:-}" ] && columns+=(kea)
for round in $(seq 1 "$rounds"); do
  echo "== round $round of $rounds"
  run_dhcpanvil dhcpanvil "$tool"
  [ -n "$before" ] && run_dhcpanvil before "$before"
  [ -z "${SKIP_KEA:-}" ] && run_kea
done
for label in "${columns[@]}"; do
  for devices in "${device_counts[@]}"; do
    results[$label,$devices]=$(printf '%s' "${runs[$label,$devices]}" | median_run)
  done
done

echo
what="same devices again and again"
[ -n "$new_devices" ] && what="a new device per exchange, released after its ACK"
[ "$earlier" -gt 0 ] && what="$what; $earlier earlier devices in the lease file"
echo "$exchanges exchanges per run, median of $rounds rounds: $what"
header=$(printf '%-8s' devices)
for label in "${columns[@]}"; do header+=$(printf ' | %-27s' "$label ex/s  p50 ms  p99 ms"); done
echo "$header | ex/s ratio to kea"
# "label share" of each dhcpanvil's rate at a device count, against a reference rate.
shares() {
  local devices=$1 reference=$2 label rate
  for label in "${columns[@]}"; do
    [ "$label" = kea ] && continue
    read -r rate _ <<<"${results[$label,$devices]:-0}"
    awk -v a="$rate" -v b="$reference" -v l="$label" 'BEGIN { if (b > 0) printf "%s %.2f  ", l, a / b }'
  done
}
for devices in "${device_counts[@]}"; do
  line=$(printf '%-8s' "$devices")
  for label in "${columns[@]}"; do
    read -r rate p50 p99 failed <<<"${results[$label,$devices]:-0 0 0 0}"
    line+=$(printf ' | %8s  %6s  %6s %4s' "$rate" "$p50" "$p99" "$( [ "$failed" = 0 ] && echo "" || echo "(${failed}f)")")
  done
  ratios=
  if [ -n "${results[kea,$devices]:-}" ]; then
    read -r krate _ <<<"${results[kea,$devices]}"
    ratios=$(shares "$devices" "$krate")
  fi
  echo "$line | $ratios"
done
# The disk under the lease file, measured as the journal writes: its price is part of every ACK.
disk=$("$sync_probe" "$work" 500)
echo "disk under the lease file: $disk"
append_p50=$(echo "$disk" | sed -nE 's/.*append: p50 ([0-9.]+) ms.*/\1/p')
if [ -n "${results[kea,1]:-}" ] && [ -n "$append_p50" ]; then
  read -r krate _ <<<"${results[kea,1]}"
  limit=$(awk -v k="$krate" -v d="$append_p50" 'BEGIN { if (k > 0) printf "%.0f", 1 / (1 / k + d / 1000) }')
  echo "durable limit at 1 device (Kea's rate plus one fdatasync per exchange): $limit ex/s; share of it: $(shares 1 "$limit")"
fi
for label in "${columns[@]}"; do
  rss=${rss_of[$label]:-0}
  echo "$label peak RSS: $((rss / 1024)).$(((rss % 1024) * 10 / 1024)) MB${leases_of[$label]:+ with ${leases_of[$label]} leases in the file}"
done
exit 0
