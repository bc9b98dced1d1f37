#pragma once
// NetworkManager, when it runs, owns the cards' settings; it is reached through nmcli.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/host/interfaces.hpp"

namespace anvil::NetworkManager {

bool isRunning();
// Every card NetworkManager manages, with its service (absent when no profile fits the card).
// Cards it leaves unmanaged are not listed: they follow the rule for hosts without it.
std::map<std::string, std::optional<Interfaces::ServiceConfiguration>, std::less<>> services();
std::vector<std::string> connectionNames();

}  // namespace anvil::NetworkManager
