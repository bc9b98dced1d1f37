#!/usr/bin/env bash
# Captures DHCPAnvilApp's window from the X screen (Xvfb at 1366x768 under openbox), in a light and a
# dark Fusion palette: the launch screen, the checklist with a failing row and its fix, the waiting
# panel, a device found (busybox udhcpc), its boot transfer in progress (scripts/tftp-get.py
# acknowledging slowly), the lease table with several devices (a prepared lease file) while the
# cable is out, two devices on the cable that never ask for an address (a switch sending ARP and
# LLDP, a recovery loader asking by ARP for its server), the question before serving the loader and
# the file chooser its TFTP request opens, and the settings sheet with a message, scrolled to its
# Pins and Options tables and to its end. The files are THEME-NN-SCREEN.png, light-01-launch.png to
# dark-12-settings-end.png; the screen tests add leases-pinned.png (a pinned device in the lease
# table) and settings-pins.png / settings-options.png (the tables with a message beside a row).
# The application runs in a network namespace of its own whose only card is one end of a veth pair;
# the other end is on a bridge in a "cable" namespace, and each device is a namespace plugged into
# that bridge. The application is driven with xdotool the way a user would drive it.
# Usage (as root): bash scripts/screenshots.sh [build-dir] [output-dir, default build-dir/screenshots]
set -euo pipefail

build=${1:-build}
out=$(realpath -m "${2:-$build/screenshots}")
app=$(realpath -m "$build/app/DHCPAnvilApp")
tftp_get=$(realpath "$(dirname "$0")/tftp-get.py")
[ "$(id -u)" -eq 0 ] || { echo "screenshots: run as root (network namespaces, port 67)" >&2; exit 1; }
[ -x "$app" ] || { echo "screenshots: $app not built" >&2; exit 1; }
# A plain window manager, the X tools that drive and capture the screen, qt6ct for the dark palette,
# and the devices' own programs.
bash "$(dirname "$0")/install-deps.sh" openbox xdotool imagemagick qt6ct busybox iputils-arping lldpd
began=$(date +%s)

# Names unique to this run, so that runs side by side never meet.
id=$$
appns=anvilapp$id
cablens=anvilcable$id
devns=anvildev$id
switchns=anvilswitch$id
loaderns=anvilloader$id
card=enas$id
display=:$((100 + id % 400))
mac=02:a0:11:$(printf '%02x:%02x' $((id / 256 % 256)) $((id % 256))):01
# A switch that only announces itself, and a router's recovery loader: makers of the IEEE registry.
switch_mac=b8:69:f4:3a:10:01
loader_mac=54:a7:03:5c:20:02
work=$(mktemp -d)
mkdir -p "$out"

pids=()
# Every process this script started ends, then every namespace goes, however the script ends.
cleanup() {
  local status=$? pid log
  # A run that failed shows what its programs said last.
  if [ "$status" -ne 0 ]; then
    for log in "$work"/*.log; do
      [ -s "$log" ] && { echo "--- ${log##*/}"; tail -n 8 "$log"; } >&2
    done
  fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for _ in $(seq 50); do
    local left=0
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && left=1; done
    [ "$left" -eq 0 ] && break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  for ns in "$appns" "$devns" "$switchns" "$loaderns" "$cablens"; do ip netns del "$ns" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM

ip netns add "$appns"
ip netns add "$cablens"
ip link add "$card" netns "$appns" address "$mac" type veth peer name uplink netns "$cablens"
# LLDP's group address (01:80:c2:00:00:0e) is not forwarded by a bridge unless its bit is set.
ip -n "$cablens" link add cable type bridge forward_delay 0 stp_state 0 group_fwd_mask 0x4000
ip -n "$cablens" link set uplink master cable
for link in lo uplink cable; do ip -n "$cablens" link set "$link" up; done
ip -n "$appns" link set lo up
ip -n "$appns" link set "$card" up

# A device namespace whose card "eth" is plugged into the cable: plug NAMESPACE PORT [MAC].
plug() {
  ip netns add "$1"
  ip link add eth netns "$1" ${3:+address "$3"} type veth peer name "$2" netns "$cablens"
  ip -n "$cablens" link set "$2" master cable
  ip -n "$cablens" link set "$2" up
  ip -n "$1" link set lo up
  ip -n "$1" link set eth up
}
plug "$devns" pdev
plug "$switchns" pswitch "$switch_mac"
plug "$loaderns" ploader "$loader_mac"
ip -n "$switchns" address add 192.168.88.1/24 dev eth
ip -n "$loaderns" address add 192.168.1.1/24 dev eth
# lldpd drops to its own user and reaches its socket in here.
chmod 711 "$work"

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

# The boot folder: one file large enough for its transfer to be seen going.
mkdir -p "$work/boot"
head -c $((512 * 1024)) /dev/urandom >"$work/boot/vmlinuz"

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

# Prints the first visible window whose title matches `pattern`, waiting at most `seconds`.
await_window() {
  local pattern=$1 seconds=$2 found
  for _ in $(seq $((seconds * 10))); do
    found=$(xdotool search --onlyvisible --name "$pattern" 2>/dev/null | head -1) || true
    [ -n "$found" ] && { echo "$found"; return 0; }
    sleep 0.1
  done
  echo "screenshots: no window '$pattern'" >&2
  return 1
}

# Ends one process this script started, at most 5 seconds after asking, and forgets its id so that
# the clean-up never signals another process that got the number since.
finish() {
  kill "$1" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  local kept=() pid
  for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
  pids=("${kept[@]}")
}

focus() { xdotool windowactivate --sync "$window" 2>/dev/null || true; }

run_theme() {
  local theme=$1
  home="$work/$theme"
  rm -rf "$home"
  mkdir -p "$home/.config/DHCP Anvil" "$home/.config/qt6ct" "$home/.local/share/DHCP Anvil" "$work/runtime-$theme" \
    "$home/Downloads"
  chmod 700 "$work/runtime-$theme"
  # What the file chooser shows in the home folder: firmware the technician downloaded.
  for file in openwrt-23.05.3-ath79-generic-squashfs-factory.bin stock-firmware-v1.4.2.bin; do
    head -c 4096 /dev/zero >"$home/$file"
  done
  ip -n "$appns" address flush dev "$card"
  ip -n "$devns" address flush dev eth
  ip -n "$cablens" link set uplink up
  # A fresh profile that remembers the veth card and serves the boot folder, and leases of earlier
  # devices on the bench.
  local config
  config=$(printf '{"serverIP": "192.168.0.1", "prefixLength": 24, "rangeStart": "192.168.0.100", "rangeEnd": "192.168.0.200", "leaseSeconds": 86400, "dns": [], "boot": {"folder": "%s", "fileForAll": "vmlinuz", "files": {}, "blockSizeCeiling": 1468}}' \
    "$work/boot")
  printf '[General]\nselectedCardMAC=%s\nserverConfig="%s"\n' "$mac" "${config//\"/\\\"}" \
    >"$home/.config/DHCP Anvil/DHCP Anvil.conf"
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
    XDG_STATE_HOME="$home/.local/state" XDG_RUNTIME_DIR="$work/runtime-$theme" \
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
    QT_QPA_PLATFORM=xcb "${style[@]}" "$app" >"$work/app-$theme.log" 2>&1 &
  local app_pid=$!
  pids+=("$app_pid")
  window=$(await_window '^DHCP Anvil$' 20)
  sleep 0.4
  shoot "$theme-01-launch"
  sleep 3
  focus
  shoot "$theme-02-checklist"

  # Configure the card as the server's address: the checklist turns green and Start is enabled.
  ip -n "$appns" address add 192.168.0.1/24 dev "$card"
  sleep 3
  focus; xdotool key ctrl+r
  await_log START 10
  sleep 1.5
  shoot "$theme-03-waiting"

  ip netns exec "$devns" busybox udhcpc -i eth -f -q -n -t 8 -T 2 -x hostname:bench-device \
    -V "BenchDevice 1.0" -s "$work/udhcpc.script" >"$work/udhcpc-$theme.log" 2>&1
  await_log "TX ACK" 10
  await_log ONLINE 20 || true  # a presence probe answers
  sleep 1.5
  shoot "$theme-04-device-found"

  # The device fetches its boot file, acknowledging slowly for a while: the card shows the progress.
  ip netns exec "$devns" python3 "$tftp_get" 192.168.0.1 vmlinuz --slow 8 --pause 0.01 --limit 40 \
    >"$work/tftp-$theme.log" 2>&1 &
  local transfer_pid=$!
  pids+=("$transfer_pid")
  await_log "asks for vmlinuz" 10
  sleep 3
  shoot "$theme-05-boot-transfer"
  for _ in $(seq 400); do kill -0 "$transfer_pid" 2>/dev/null || break; sleep 0.1; done
  finish "$transfer_pid"

  # The cable comes out: a banner says so, and the lease table lists every device of the bench.
  ip -n "$cablens" link set uplink down
  await_log "LINK         down" 10 || true
  sleep 1.5
  shoot "$theme-06-leases"
  # And goes back in.
  ip -n "$cablens" link set uplink up
  for _ in $(seq 100); do
    ip -n "$appns" link show dev "$card" | grep -q LOWER_UP && break
    sleep 0.1
  done
  sleep 2

  # Two devices that never ask for an address: a switch that announces itself by gratuitous ARP and
  # LLDP, and a recovery loader at 192.168.1.1 asking who has 192.168.1.10, its TFTP server.
  # lldpd names the system after the host: a host name of its own from the first frame on.
  local socket="$work/lldpd-$theme.socket"
  ip netns exec "$switchns" unshare --uts sh -c 'hostname bench-switch && exec "$@"' lldpd \
    lldpd -d -u "$socket" -I eth -M 4 -S "RouterOS 7.14" -O "$work/none.conf" >"$work/lldpd-$theme.log" 2>&1 &
  local switch_pid=$!
  pids+=("$switch_pid")
  for _ in $(seq 50); do
    ip netns exec "$switchns" lldpcli -u "$socket" configure inventory model CRS326-24G-2S+ >/dev/null 2>&1 && break
    sleep 0.2
  done
  ip netns exec "$switchns" lldpcli -u "$socket" configure lldp tx-interval 1 >/dev/null 2>&1 || true
  ip netns exec "$switchns" arping -q -U -c 120 -I eth 192.168.88.1 >/dev/null 2>&1 &
  local announcer_pid=$!
  pids+=("$announcer_pid")
  # Once the address answers, the loader asks for its file; the loop ends in any case.
  # shellcheck disable=SC2016 # the loader's own shell expands its loop
  ip netns exec "$loaderns" timeout 150 sh -c '
    for i in $(seq 120); do
      if arping -q -c 1 -w 1 -I eth 192.168.1.10; then python3 "$0" 192.168.1.10 recovery.bin --limit 3; sleep 1; fi
    done' "$tftp_get" >"$work/loader-$theme.log" 2>&1 &
  local loader_pid=$!
  pids+=("$loader_pid")
  await_log "doesn't ask for an address" 20
  await_log "is looking for 192.168.1.10" 20
  await_log 'name "bench-switch" model "CRS326-24G-2S+"' 10 || true
  sleep 1.5
  shoot "$theme-07-cable"

  # "Serve a file to it" (Alt+V) asks before adding the loader's server address to the card.
  focus; xdotool key alt+v
  local question
  question=$(await_window '^Add 192\.168\.1\.10/24 to ' 10)
  sleep 0.5
  shoot "$theme-08-serve-question"
  xdotool windowactivate --sync "$question" 2>/dev/null || true; xdotool key Return
  # The loader's request for a file the folder lacks opens the file chooser.
  local chooser
  chooser=$(await_window '^Choose the file to send as recovery\.bin' 20)
  sleep 1
  shoot "$theme-09-recovery-file"
  # Cancelled, nothing is served and the address comes off the card again.
  xdotool windowactivate --sync "$chooser" 2>/dev/null || true; xdotool key Escape
  for _ in $(seq 100); do
    ip -n "$appns" -4 address show dev "$card" | grep -q ' 192\.168\.1\.10/' || break
    sleep 0.1
  done
  finish "$loader_pid"
  finish "$announcer_pid"
  finish "$switch_pid"

  focus; xdotool key ctrl+t
  sleep 2

  # The settings sheet refusing a server address outside the network, then scrolled to its end with
  # the keyboard (Page Down goes past the address field to the sheet's scroll area). Should the
  # sheet open with the cursor elsewhere (on its scroll area), Enter saves it unchanged and closes
  # it: then it opens once more and Tab moves the cursor into the first field.
  local attempt
  for attempt in 1 2; do
    focus; xdotool key ctrl+comma
    await_window '^Settings' 10 >/dev/null
    sleep 1.5
    [ "$attempt" -eq 2 ] && xdotool key Tab
    xdotool key ctrl+a
    xdotool type --delay 20 '192.168.0.300'
    xdotool key Return
    sleep 1
    xdotool search --onlyvisible --name '^Settings' >/dev/null 2>&1 && break
    echo "screenshots: the settings sheet closed on Enter: its Server IP field did not have the cursor" >&2
  done
  shoot "$theme-10-settings"
  xdotool key --repeat 6 --delay 50 Page_Down
  sleep 0.5
  shoot "$theme-11-settings-tables"
  xdotool key --repeat 12 --delay 50 Page_Down
  sleep 0.5
  shoot "$theme-12-settings-end"
  xdotool key Escape
  sleep 0.5
  focus; xdotool key ctrl+q
  for _ in $(seq 50); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  finish "$app_pid"
}

run_theme light
run_theme dark
# A pinned device and the tables' messages, drawn by the screen tests on Qt's offscreen platform.
screens=$(realpath -m "$build/tests/app/anvil_tests_app_screens")
if [ -x "$screens" ]; then
  QT_QPA_PLATFORM=offscreen ANVIL_SCREEN_GRABS="$out" "$screens" \
    --gtest_filter='Screens.TheLeaseMenuPins*:Screens.PinsAndOptionsTables*' >"$work/screen-grabs.log" 2>&1 ||
    { echo "screenshots: the screen tests that draw the pins failed:"; tail -n 20 "$work/screen-grabs.log"; } >&2
fi
echo "screenshots: done in $out in $(($(date +%s) - began)) s"
