#!/usr/bin/env bash
# Captures DHCPAnvilApp's window from the X screen (Xvfb at 1366x768 under openbox), in a light and a
# dark Fusion palette: the launch screen, the checklist with a failing row and its fix, the waiting
# panel, a device found (busybox udhcpc in a network namespace), the lease table with several
# devices (a prepared lease file) and the settings sheet with a message. The application runs in a
# network namespace of its own whose only card is one end of a veth pair, and is driven with xdotool
# the way a user would drive it.
# Usage (as root): bash scripts/screenshots.sh [build-dir] [output-dir, default build-dir/screenshots]
set -euo pipefail

build=${1:-build}
out=$(realpath -m "${2:-$build/screenshots}")
app=$(realpath -m "$build/app/DHCPAnvilApp")
[ "$(id -u)" -eq 0 ] || { echo "screenshots: run as root (network namespaces, port 67)" >&2; exit 1; }
[ -x "$app" ] || { echo "screenshots: $app not built" >&2; exit 1; }
# A plain window manager, the X tools that drive and capture the screen, and qt6ct for the dark palette.
bash "$(dirname "$0")/install-deps.sh" openbox xdotool imagemagick qt6ct busybox

# Names unique to this run, so that runs side by side never meet.
id=$$
appns=anvilapp$id
devns=anvildev$id
card=enas$id
peer=ead$id
display=:$((100 + id % 400))
mac=02:a0:11:$(printf '%02x:%02x' $((id / 256 % 256)) $((id % 256))):01
work=$(mktemp -d)
mkdir -p "$out"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$appns" 2>/dev/null || true
  ip netns del "$devns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM

ip netns add "$appns"
ip netns add "$devns"
ip link add "$card" address "$mac" type veth peer name "$peer"
ip link set "$card" netns "$appns"
ip link set "$peer" netns "$devns"
for ns in "$appns" "$devns"; do ip -n "$ns" link set lo up; done
ip -n "$appns" link set "$card" up
ip -n "$devns" link set "$peer" up

Xvfb "$display" -screen 0 1366x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
export DISPLAY=$display
openbox >"$work/openbox.log" 2>&1 &
pids+=($!)
sleep 1

# The client configures the address it is given, so that presence probes find it online.
cat >"$work/udhcpc.script" <<'SCRIPT'
#!/bin/sh
case "$1" in
  bound|renew) ip address replace "$ip/$subnet" dev "$interface" ;;
esac
exit 0
SCRIPT
chmod +x "$work/udhcpc.script"

shoot() {
  import -window root "$out/$1.png"
  echo "screenshots: $out/$1.png"
}

# Waits until `text` shows up in the application's log file, at most `seconds`.
await_log() {
  local text=$1 seconds=$2
  for _ in $(seq $((seconds * 10))); do
    grep -qs -- "$text" "$home"/.local/state/DHCP\ Anvil/logs/* && return 0
    sleep 0.1
  done
  echo "screenshots: '$text' never reached the log" >&2
  return 1
}

run_theme() {
  local theme=$1
  home="$work/$theme"
  rm -rf "$home"
  mkdir -p "$home/.config/DHCP Anvil" "$home/.config/qt6ct" "$home/.local/share/DHCP Anvil" "$home/runtime"
  chmod 700 "$home/runtime"
  ip -n "$appns" address flush dev "$card"
  ip -n "$devns" address flush dev "$peer"
  ip -n "$devns" link set "$peer" up
  # A fresh profile that remembers the veth card, and leases of earlier devices on the bench.
  printf '[General]\nselectedCardMAC=%s\n' "$mac" >"$home/.config/DHCP Anvil/DHCP Anvil.conf"
  local soon later past earlier
  soon=$(date -u -d '+20 hours' +%FT%TZ)
  later=$(date -u -d '+23 hours' +%FT%TZ)
  past=$(date -u -d '-2 hours' +%FT%TZ)
  earlier=$(date -u -d '-1 day' +%FT%TZ)
  lease() { # mac ip state expires hostname vendor
    printf '    {"mac": "%s", "ip": "%s", "state": "%s", "expiresAt": "%s", %s%s"firstSeen": "%s", "lastSeen": "%s"}' \
      "$1" "$2" "$3" "$4" "${5:+\"hostname\": \"$5\", }" "${6:+\"vendorClass\": \"$6\", }" "$earlier" "$earlier"
  }
  {
    echo '{"version": 1, "quarantine": [], "leases": ['
    lease 3c:52:82:0a:11:01 192.168.0.110 bound "$soon" camera-entrance "" ; echo ,
    lease 00:c0:b7:4d:22:02 192.168.0.111 bound "$later" ups-rack2 "APC SmartUPS 1500" ; echo ,
    lease b8:27:eb:33:44:03 192.168.0.112 released "$past" raspberrypi "udhcp 1.35.0" ; echo ,
    lease 00:1b:21:55:66:04 192.168.0.113 bound "$past" "" "" ; echo
    echo ']}'
  } >"$home/.local/share/DHCP Anvil/leases.json"
  local -a style
  if [ "$theme" = dark ]; then
    printf '[Appearance]\nstyle=Fusion\ncustom_palette=true\ncolor_scheme_path=/usr/share/qt6ct/colors/darker.conf\n' \
      >"$home/.config/qt6ct/qt6ct.conf"
    style=(QT_QPA_PLATFORMTHEME=qt6ct)
  else
    style=(QT_STYLE_OVERRIDE=Fusion)
  fi

  # NetworkManager is left out of view (an unreachable system bus), so the veth card is its own service.
  ip netns exec "$appns" env HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    XDG_STATE_HOME="$home/.local/state" XDG_RUNTIME_DIR="$home/runtime" \
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
    QT_QPA_PLATFORM=xcb "${style[@]}" "$app" >"$work/app-$theme.log" 2>&1 &
  local app_pid=$!
  pids+=($app_pid)
  local window
  window=$(xdotool search --sync --onlyvisible --name '^DHCP Anvil$' | head -1)
  sleep 0.4
  shoot "$theme-1-launch"
  sleep 3
  xdotool windowactivate --sync "$window" 2>/dev/null || true
  shoot "$theme-2-checklist"

  # Configure the card as the server's address: the checklist turns green and Start is enabled.
  ip -n "$appns" address add 192.168.0.1/24 dev "$card"
  sleep 3
  xdotool windowactivate --sync "$window" 2>/dev/null || true; xdotool key ctrl+r
  await_log START 10
  sleep 1.5
  shoot "$theme-3-waiting"

  ip netns exec "$devns" busybox udhcpc -i "$peer" -f -q -n -t 8 -T 2 -x hostname:bench-device \
    -V "BenchDevice 1.0" -s "$work/udhcpc.script" >"$work/udhcpc-$theme.log" 2>&1
  await_log "TX ACK" 10
  await_log ONLINE 20 || true  # a presence probe answers
  sleep 1.5
  shoot "$theme-4-device-found"

  # The device's cable comes out: a banner says so, and the lease table lists every device of the bench.
  ip -n "$devns" link set "$peer" down
  await_log "LINK         down" 10 || true
  sleep 1.5
  shoot "$theme-5-leases"
  xdotool windowactivate --sync "$window" 2>/dev/null || true; xdotool key ctrl+t
  sleep 2

  # The settings sheet refusing a server address outside the network.
  xdotool windowactivate --sync "$window" 2>/dev/null || true; xdotool key ctrl+comma
  sleep 1.5
  xdotool key ctrl+a
  xdotool type --delay 20 '192.168.0.300'
  xdotool key Return
  sleep 1
  shoot "$theme-6-settings"
  xdotool key Escape
  sleep 0.5
  xdotool windowactivate --sync "$window" 2>/dev/null || true; xdotool key ctrl+q
  for _ in $(seq 50); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  kill "$app_pid" 2>/dev/null || true
  wait "$app_pid" 2>/dev/null || true
}

run_theme light
run_theme dark
echo "screenshots: done in $out"
