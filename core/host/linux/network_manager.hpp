#pragma once
// NetworkManager, when it runs, owns the cards' settings; it is reached through nmcli.
#include <map>
#include <string>
#include <vector>

#include "core/host/interfaces.hpp"

namespace anvil::NetworkManager {

bool isRunning();
// Active connection and its IPv4 method per device.
Interfaces::ServiceMap services();
std::vector<std::string> connectionNames();

}  // namespace anvil::NetworkManager
