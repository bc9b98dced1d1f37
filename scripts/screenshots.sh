#!/usr/bin/env bash
# Renders DHCPAnvilApp under Xvfb into two PNG files: the dashboard before Start, and the window
# while serving a veth card whose peer, in a network namespace, got an address from busybox udhcpc.
# Usage (as root): bash scripts/screenshots.sh [build-dir] [output-dir, default build-dir/screenshots]
set -euo pipefail

build=${1:-build}
out=$(realpath -m "${2:-$build/screenshots}")
app="$build/app/DHCPAnvilApp"
[ "$(id -u)" -eq 0 ] || { echo "screenshots: run as root (network namespaces, port 67)" >&2; exit 1; }
[ -x "$app" ] || { echo "screenshots: $app not built" >&2; exit 1; }
command -v Xvfb >/dev/null || { echo "screenshots: Xvfb missing (apt-get install xvfb)" >&2; exit 1; }

ns=anvilshot
card=enanvil0
peer=enanvil1
display=:97
work=$(mktemp -d)
mkdir -p "$out"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip link del "$card" 2>/dev/null || true
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ip netns del "$ns" 2>/dev/null || true
ip link del "$card" 2>/dev/null || true
ip netns add "$ns"
ip link add "$card" address 02:a0:11:00:00:01 type veth peer name "$peer" address 02:a0:11:00:00:02
ip link set "$peer" netns "$ns"
ip address add 192.168.0.1/24 dev "$card"
ip link set "$card" up
ip netns exec "$ns" ip link set lo up
ip netns exec "$ns" ip link set "$peer" up

# A private home: fresh settings (remembering the veth card), lease file and log folder.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_STATE_HOME="$work/home/.local/state" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_CONFIG_HOME/DHCP Anvil" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
printf '[General]\nselectedCardMAC=02:a0:11:00:00:01\n' >"$XDG_CONFIG_HOME/DHCP Anvil/DHCP Anvil.conf"

Xvfb "$display" -screen 0 1280x1000x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done

# The client configures the address it is given, so that presence probes find it online.
cat >"$work/udhcpc.script" <<'SCRIPT'
#!/bin/sh
case "$1" in
  bound|renew) ip address replace "$ip/$subnet" dev "$interface" ;;
esac
exit 0
SCRIPT
chmod +x "$work/udhcpc.script"

rm -f "$out/dashboard.png" "$out/serving.png"
DISPLAY=$display QT_QPA_PLATFORM=xcb "$app" --screenshots "$out" >"$work/app.log" 2>&1 &
app_pid=$!
pids+=($app_pid)

for _ in $(seq 600); do
  [ -s "$out/dashboard.png" ] && break
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
[ -s "$out/dashboard.png" ] || { cat "$work/app.log" >&2; echo "screenshots: no dashboard" >&2; exit 1; }
sleep 1
ip netns exec "$ns" busybox udhcpc -i "$peer" -f -q -n -t 8 -T 2 -x hostname:bench-device \
  -V "BenchDevice 1.0" -s "$work/udhcpc.script" || { cat "$work/app.log" >&2; exit 1; }
echo "screenshots: client got $(ip netns exec "$ns" ip -4 -o address show dev "$peer" | awk '{print $4}')"

status=0
wait "$app_pid" || status=$?
cat "$work/app.log" >&2
[ "$status" -eq 0 ] && [ -s "$out/serving.png" ] || { echo "screenshots: app ended with $status" >&2; exit 1; }
echo "screenshots: $out/dashboard.png $out/serving.png"
