#pragma once
// The hardware makers of the registry the system ships (Debian's ieee-data), read once on first use.
#include <optional>
#include <string>

#include "core/addressing/maker_registry.hpp"

namespace anvil::SystemMakers {

// Empty when the registry is not installed. The first call reads a few megabytes; later calls are free.
const MakerRegistry& registry();
// makerOf with the system's registry.
std::optional<std::string> lookup(const MACAddress& mac);

}  // namespace anvil::SystemMakers
