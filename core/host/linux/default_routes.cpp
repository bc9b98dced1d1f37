#if defined(__linux__)
#include "core/host/linux/default_routes.hpp"

#include <algorithm>

#include "core/host/default_routes.hpp"
#include "core/host/interfaces.hpp"

namespace anvil::LinuxHost {

// The helper reads the same tables with the same rule, so what setup refuses and what the helper
// refuses cannot drift apart.
bool carriesDefaultRoute(std::string_view card, std::string_view procNetRoute, std::string_view procNetIPv6Route) {
    return DefaultRoutes::carries(card, procNetRoute, procNetIPv6Route);
}

bool carriesDefaultRoute(std::string_view card) {
    auto cards = Interfaces::defaultRouteCards();
    return std::find(cards.begin(), cards.end(), card) != cards.end();
}

}  // namespace anvil::LinuxHost
#endif
