#pragma once
// The options of `dhcpanvil serve`, checked for form only.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/addressing/server_config.hpp"

namespace anvil {

inline ServerConfig defaultToolConfig() {
    return ServerConfig{IPv4Address{192, 168, 0, 1},
                        24,
                        IPv4Address{192, 168, 0, 100},
                        IPv4Address{192, 168, 0, 200},
                        86400,
                        std::nullopt,
                        {}};
}

struct ServeOptions {
    std::optional<std::string> interface;
    ServerConfig config = defaultToolConfig();
    std::optional<std::string> leasePath;
    bool json = false;
    bool loopback = false;
    std::uint16_t port = 6767;
    std::uint16_t clientPort = 6868;

    friend bool operator==(const ServeOptions&, const ServeOptions&) = default;
};

// Throws CLIError (isUsage true) at the first malformed or unknown argument.
ServeOptions parseServe(const std::vector<std::string>& arguments);

}  // namespace anvil
