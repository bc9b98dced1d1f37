#!/usr/bin/env bash
# Builds the Debian package and installs it as a user would (as root): the tool runs from /usr/bin,
# only the helper holds capabilities and only the group dhcpanvil may start it, the desktop file
# validates, lintian finds no error, and the package removes and purges cleanly.
# Usage (as root): bash scripts/test-package.sh [build folder to pack, as scripts/package.sh takes]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "package test: skipped, installing a package needs root"
  exit 0
fi
fail() {
  echo "package test: $*" >&2
  exit 1
}
if dpkg-query -W -f='${Status}' dhcp-anvil 2>/dev/null | grep -q "ok installed"; then
  fail "dhcp-anvil is already installed on this machine; remove it first"
fi

deb=$(realpath "$(bash scripts/package.sh "$@")")
echo "package test: $deb"

echo "package test: lintian"
lintian --tag-display-limit 0 "$deb" | tee /tmp/dhcp-anvil-lintian.$$ || true
if grep -q '^E:' /tmp/dhcp-anvil-lintian.$$; then
  rm -f /tmp/dhcp-anvil-lintian.$$
  fail "lintian reports errors"
fi
rm -f /tmp/dhcp-anvil-lintian.$$

trap 'dpkg --purge dhcp-anvil >/dev/null 2>&1 || true' EXIT
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "$deb" >/dev/null
mapfile -t files < <(dpkg -L dhcp-anvil)

version=$(/usr/bin/dhcpanvil --version)
[[ $version == "dhcpanvil "* ]] || fail "/usr/bin/dhcpanvil --version printed: $version"
echo "package test: $version"

helper=/usr/libexec/dhcpanvil/dhcpanvil-helper
granted=""
for file in "${files[@]}"; do
  [ -f "$file" ] && granted+=$(getcap "$file")
done
if [ -f "$helper" ]; then
  [[ $granted == "$helper cap_net_bind_service,cap_net_raw=ep" ]] || fail "capabilities granted: ${granted:-none}"
else
  [ -z "$granted" ] || fail "capabilities granted without a helper: $granted"
  echo "package test: the package holds no helper yet, so no capabilities are granted"
fi
echo "package test: capabilities: ${granted:-none}"

# Only the group's members may start the helper; the postinst made the group.
getent group dhcpanvil >/dev/null || fail "the group dhcpanvil does not exist after the install"
if [ -f "$helper" ]; then
  held=$(stat -c '%U:%G %a' "$helper")
  [[ $held == "root:dhcpanvil 750" ]] || fail "$helper is $held, not root:dhcpanvil 750"
  if setpriv --reuid=65534 --regid=65534 --clear-groups "$helper" </dev/null >/dev/null 2>&1; then
    fail "uid 65534 outside the group dhcpanvil could start $helper"
  fi
  echo "package test: helper: $held, refused to a user outside the group"
fi

desktop-file-validate /usr/share/applications/dhcpanvil.desktop || fail "desktop-file-validate refused the desktop file"
for file in /usr/share/man/man1/dhcpanvil.1.gz /usr/share/bash-completion/completions/dhcpanvil; do
  [ -f "$file" ] || fail "$file is missing"
done

apt-get remove -y -qq dhcp-anvil >/dev/null
[ ! -e /usr/bin/dhcpanvil ] || fail "/usr/bin/dhcpanvil is still there after removal"
# Removed without config files left, the package is already gone for apt; dpkg purges either way.
dpkg --purge dhcp-anvil >/dev/null
trap - EXIT
for file in "${files[@]}"; do
  # Shared folders such as /usr/bin stay; everything the package brought goes.
  if [ -e "$file" ] && [ ! -d "$file" ]; then fail "$file is left after purge"; fi
done
dpkg-query -W -f='${Status}' dhcp-anvil 2>/dev/null | grep -q "ok installed" && fail "dhcp-anvil is still installed"
echo "package test: installed, checked, removed and purged"
