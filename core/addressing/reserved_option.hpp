#pragma once
// The option codes no user option may carry, and why, in a sentence.
#include <cstdint>
#include <optional>
#include <string>

namespace anvil {

struct ServerConfig;

// Whatever the configuration: the frame of the options (0, 255), what the server works out itself
// (1, 28, 51, 53, 54, 56, 58, 59), what only devices send (50, 55, 57, 60, 61, 77, 93, 94, 97), and
// ways of answering this server does not use (52 overload, 80 rapid commit).
std::optional<std::string> reservedOptionReason(std::uint8_t code);
// Also those the configuration fills: 3 with a router, 6 with DNS servers, 66 and 67 with network boot.
std::optional<std::string> reservedOptionReason(std::uint8_t code, const ServerConfig& config);

}  // namespace anvil
