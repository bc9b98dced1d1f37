#!/usr/bin/env bash
# TFTP throughput of dhcpanvil's boot folder next to tftp-hpa's in.tftpd, printed side by side;
# figures only, nothing is asserted. A 64 MiB file on a veth pair between two network namespaces
# is fetched with atftp at block size 1468, window size 1 and 16, three runs each (median MB/s).
#
# Usage (as root): bash scripts/bench-tftp.sh [build folder]
#   DHCPANVIL=path   another dhcpanvil to measure
#   RUNS=n           runs per figure (default 3)
#   SIZE_MIB=n       the file's size (default 64)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
tool=${DHCPANVIL:-$build/cli/dhcpanvil}
runs=${RUNS:-3}
size_mib=${SIZE_MIB:-64}
windows=(1 16)

if [ "$(id -u)" -ne 0 ]; then
  echo "bench-tftp: run as root (it creates network namespaces)" >&2
  exit 1
fi
for program in atftp in.tftpd ip; do
  command -v "$program" >/dev/null || { echo "bench-tftp: $program is missing; run scripts/install-deps.sh" >&2; exit 1; }
done

tag=$$
server_ns=anvil-tb-srv-$tag
client_ns=anvil-tb-cli-$tag
card=ent$((tag % 100000))
dir=$(mktemp -d /tmp/anvil-bench-tftp-XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  ip netns delete "$server_ns" 2>/dev/null || true
  ip netns delete "$client_ns" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT INT TERM

ip netns add "$server_ns"
ip netns add "$client_ns"
ip link add "$card" netns "$server_ns" type veth peer name cli0 netns "$client_ns"
ip -n "$server_ns" address add 10.68.0.1/24 dev "$card"
ip -n "$client_ns" address add 10.68.0.2/24 dev cli0
for ns_link in "$server_ns lo" "$server_ns $card" "$client_ns lo" "$client_ns cli0"; do
  read -r ns link <<<"$ns_link"
  ip -n "$ns" link set "$link" up
done

# in.tftpd drops to nobody: the folder and the file must be readable by everyone.
mkdir -m 0755 "$dir/boot"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$dir/boot/image.bin"
chmod 0644 "$dir/boot/image.bin"
chmod 0755 "$dir"
bytes=$(stat -c %s "$dir/boot/image.bin")

# Median MB/s of `runs` fetches at window size $1, or "failed" when a fetch came back short.
measure() {
  local window=$1 figures=() run start end
  for ((run = 0; run < runs; run++)); do
    rm -f "$dir/fetched"
    start=$(date +%s.%N)
    ip netns exec "$client_ns" timeout 120 atftp --option "blksize 1468" --option "windowsize $window" \
      -g -r image.bin -l "$dir/fetched" 10.68.0.1 >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    if [ "$(stat -c %s "$dir/fetched" 2>/dev/null || echo 0)" != "$bytes" ] || ! cmp -s "$dir/fetched" "$dir/boot/image.bin"; then
      echo failed
      return
    fi
    figures+=("$(awk -v b="$bytes" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", b / 1e6 / (e - s) }')")
  done
  printf '%s\n' "${figures[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

stop_server() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=
}

declare -A result
# dhcpanvil: until it serves a boot folder it refuses --boot, and the column says so.
if [ ! -x "$tool" ]; then
  for window in "${windows[@]}"; do result[dhcpanvil,$window]="not built"; done
else
  ip netns exec "$server_ns" "$tool" serve --iface "$card" --server 10.68.0.1/24 --range 10.68.0.100-10.68.0.150 \
    --leases "$dir/leases.json" --boot "$dir/boot" >"$dir/dhcpanvil.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 50); do
    grep -q START "$dir/dhcpanvil.log" && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q START "$dir/dhcpanvil.log"; then
    for window in "${windows[@]}"; do result[dhcpanvil,$window]=$(measure "$window"); done
  else
    if grep -q "unknown option --boot" "$dir/dhcpanvil.log"; then
      echo "dhcpanvil: not built with TFTP (it does not know --boot)"
    else
      echo "dhcpanvil did not start:"; cat "$dir/dhcpanvil.log"
    fi
    for window in "${windows[@]}"; do result[dhcpanvil,$window]="-"; done
  fi
  stop_server
fi

# tftp-hpa's server on the same folder, chrooted into it.
ip netns exec "$server_ns" in.tftpd --foreground --address 10.68.0.1:69 --secure "$dir/boot" &
server_pid=$!
sleep 0.3
for window in "${windows[@]}"; do result[in.tftpd,$window]=$(measure "$window"); done
stop_server

echo
echo "TFTP fetch of a ${size_mib} MiB file, atftp blksize 1468, median of $runs runs (MB/s)"
printf '%-14s %12s %12s\n' "windowsize" "dhcpanvil" "in.tftpd"
for window in "${windows[@]}"; do
  printf '%-14s %12s %12s\n' "$window" "${result[dhcpanvil,$window]}" "${result[in.tftpd,$window]}"
done
echo "(in.tftpd 5.2 does not offer windowsize: its 16 column runs one block at a time)"
