#pragma once
// Which cards carry a default route, the way off the local networks.
#include <string>
#include <string_view>

namespace anvil::LinuxHost {

// Whether an up default route leaves through `card`, in /proc/net/route (IPv4) or
// /proc/net/ipv6_route (IPv6) text; rejecting routes (the kernel's "unreachable") are no way out.
bool carriesDefaultRoute(std::string_view card, std::string_view procNetRoute, std::string_view procNetIPv6Route);

// The same from the running kernel.
bool carriesDefaultRoute(std::string_view card);

}  // namespace anvil::LinuxHost
