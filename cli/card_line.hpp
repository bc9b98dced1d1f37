#pragma once
// The line `dhcpanvil list` prints for one card.
#include <string>

#include "core/host/network_card.hpp"

namespace anvil {

std::string cardLine(const NetworkCard& card);

}  // namespace anvil
