#pragma once
// The tool's usage text, printed without a trailing line feed of its own.
#include <string_view>

namespace anvil {

inline constexpr std::string_view usageText =
    "usage:\n"
    "  dhcpanvil list\n"
    "  dhcpanvil leases [--leases <path>] [--json]\n"
    "  dhcpanvil serve --iface <bsd> [--server 192.168.0.1/24] [--range 192.168.0.100-192.168.0.200]\n"
    "                  [--lease 24h] [--router <ip>] [--dns <ip>[,<ip>]] [--leases <path>] [--json]\n"
    "                  [--no-watch] [--boot <folder> [--boot-file <name>|<kind>=<name>[,...]] [--tftp-blksize-max 1468]]\n"
    "                  (boot kinds: bios, efi-x64, efi-arm64, arm32, arm64, uboot, ipxe, rpi)\n"
    "                  [--no-bootp]\n"
    "                  [--option [MATCH:]CODE=VALUE]... [--option-always [MATCH:]CODE=VALUE]... [--option preset:NAME[=VALUE]]...\n"
    "                  (MATCH: mac=<mac>, maker=aa:bb:cc, vendor=PREFIX, user=CLASS, boot=<kind>; all when left out)\n"
    "                  [--pin <mac>=<ip>[,<label>]]... [--pins <file>]\n"
    "  dhcpanvil serve --test-loopback [--port 6767] [--client-port 6868] [--leases <path>] [--json]\n"
    "  dhcpanvil watch --iface <bsd> [--json]\n"
    "  dhcpanvil --version";

}  // namespace anvil
