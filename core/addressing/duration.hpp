#pragma once
// Lease times as text: "90", "90s", "15m", "24h", "7d" in; "1 h 30 m" out.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace anvil {

std::optional<std::uint32_t> parseDuration(std::string_view text);
std::string formatDuration(std::uint32_t seconds);

}  // namespace anvil
