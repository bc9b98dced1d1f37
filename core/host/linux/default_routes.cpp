#if defined(__linux__)
#include "core/host/linux/default_routes.hpp"

#include "core/host/default_routes.hpp"
#include "core/host/linux/text_file.hpp"

namespace anvil::LinuxHost {

namespace {
constexpr std::size_t routeTableLimit = 4 * 1024 * 1024;
}  // namespace

// The helper reads the same tables with the same rule, so what setup refuses and what the helper
// refuses cannot drift apart.
bool carriesDefaultRoute(std::string_view card, std::string_view procNetRoute, std::string_view procNetIPv6Route) {
    return DefaultRoutes::carries(card, procNetRoute, procNetIPv6Route);
}

// The calling thread's namespace: /proc/net follows the process's first thread.
bool carriesDefaultRoute(std::string_view card) {
    return carriesDefaultRoute(card, readTextFile("/proc/thread-self/net/route", routeTableLimit).value_or(""),
                               readTextFile("/proc/thread-self/net/ipv6_route", routeTableLimit).value_or(""));
}

}  // namespace anvil::LinuxHost
#endif
