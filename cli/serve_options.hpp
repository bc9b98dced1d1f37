#pragma once
// The options of `dhcpanvil serve`, checked for form only.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/addressing/server_config.hpp"

namespace anvil {

struct ServeOptions {
    std::optional<std::string> interface;
    ServerConfig config = defaultServerConfig();
    std::optional<std::string> leasePath;
    bool json = false;
    bool loopback = false;
    // Watch the card's cable for devices that do not ask; never in loopback mode.
    bool watch = true;
    std::uint16_t port = 6767;
    std::uint16_t clientPort = 6868;

    friend bool operator==(const ServeOptions&, const ServeOptions&) = default;
};

// Throws CLIError (isUsage true) at the first malformed or unknown argument.
ServeOptions parseServe(const std::vector<std::string>& arguments);

// The options of `dhcpanvil watch`.
struct WatchOptions {
    std::string interface;
    bool json = false;
    friend bool operator==(const WatchOptions&, const WatchOptions&) = default;
};

// Throws CLIError (isUsage true) at the first malformed or unknown argument, or without --iface.
WatchOptions parseWatch(const std::vector<std::string>& arguments);

}  // namespace anvil
