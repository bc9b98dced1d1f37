#pragma once
// Without NetworkManager each card is its own service, configured as its kernel addresses say.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/host/interfaces.hpp"

namespace anvil::LinuxHost {

// By interface name, for the (index, name) pairs given; `preferred` is the manual address to read
// back when a card has several fixed ones.
Interfaces::ServiceMap kernelServices(const std::vector<std::pair<int, std::string>>& interfaces,
                                      std::optional<IPv4Address> preferred = std::nullopt);

}  // namespace anvil::LinuxHost
