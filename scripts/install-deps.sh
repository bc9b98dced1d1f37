#!/usr/bin/env bash
# Installs the Debian packages DHCP Anvil needs to build and test, skipping those present.
# Usage (as root): bash scripts/install-deps.sh
set -euo pipefail

packages=(
  build-essential cmake g++ pkg-config ninja-build ccache
  libasio-dev nlohmann-json3-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  iproute2 procps
  # The system-call order test of durable ACKs.
  strace
  # Real DHCP peers for the end-to-end tests and the loopback benchmark.
  busybox isc-dhcp-client dnsmasq-base dhcpcd-base
  # Boot firmware in qemu and real TFTP peers for the network-boot tests and bench-tftp.sh.
  qemu-system-x86 qemu-system-arm ipxe-qemu ipxe u-boot-qemu ovmf
  tftp-hpa tftpd-hpa atftp curl
  # Devices that never ask for an address, for the cable-watch tests: LLDP and ARP senders.
  lldpd iputils-arping
  # Crafted frames: the ARP flood of many changing devices.
  python3-scapy
  # A real NetworkManager, run by the tests inside their own namespaces only.
  network-manager dbus
  # The desktop application and its screenshots.
  qt6-base-dev xvfb xauth
  # The helper's capability, and the tests that run the installed programs as another user.
  libcap2-bin util-linux xdotool
  # Makers of hardware; the Debian package and its checks.
  ieee-data dpkg-dev lintian desktop-file-utils
)
extra=("$@")

missing=()
for package in "${packages[@]}" "${extra[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
# The tests start their own NetworkManager in a namespace. The host's must not start on install
# (nor at boot) and take over this machine's cards and DNS: mask its units before the package
# arrives, only when this script is the one installing it.
if [[ " ${missing[*]} " == *" network-manager "* ]]; then
  for unit in NetworkManager.service NetworkManager-wait-online.service NetworkManager-dispatcher.service; do
    [ -e "/etc/systemd/system/$unit" ] || ln -s /dev/null "/etc/systemd/system/$unit"
  done
  echo "install-deps: NetworkManager's system service is masked (systemctl unmask NetworkManager to use it)"
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# tftpd-hpa's package starts a daemon on port 69, where the tests and bench-tftp.sh run their own
# servers: forbid service starts during this install, and stop it should it start anyway.
policy=/usr/sbin/policy-rc.d
own_policy=
if [[ " ${missing[*]} " == *" tftpd-hpa "* || " ${missing[*]} " == *" lldpd "* ]] && [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 0755 "$policy"
  own_policy=1
  trap 'rm -f "$policy"' EXIT
fi
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
if [ -n "$own_policy" ]; then
  rm -f "$policy"
fi
if [[ " ${missing[*]} " == *" tftpd-hpa "* ]]; then
  service tftpd-hpa stop >/dev/null 2>&1 || true
  update-rc.d tftpd-hpa disable >/dev/null 2>&1 || true
  systemctl disable --now tftpd-hpa.service >/dev/null 2>&1 || true
fi
# lldpd's package starts a daemon that would speak LLDP on every card of this machine; the tests
# run their own, in their namespaces only.
if [[ " ${missing[*]} " == *" lldpd "* ]]; then
  service lldpd stop >/dev/null 2>&1 || true
  update-rc.d lldpd disable >/dev/null 2>&1 || true
  systemctl disable --now lldpd.service >/dev/null 2>&1 || true
fi
