#pragma once
// The value of a DHCP option as a person types it, read by the option's known format, and the same
// value written back so that reading it again gives the same bytes.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/addressing/bytes.hpp"

namespace anvil {

struct OptionValueReading {
    std::optional<Bytes> data;
    // Why not, in a sentence, when data is empty.
    std::string error;
};

// By format: addresses "192.168.0.10, 192.168.0.11"; text as typed; numbers in decimal; times as
// seconds or 90s/15m/24h/7d; a time offset with its sign; a flag on/off; domain names separated by
// commas. Hexadecimal bytes ("0x010431", or pairs "01:04:31") stand for any option, except that
// pairs are text to a text option; an option without a known format takes only bytes (also as
// "010431" or "01 04 31").
OptionValueReading readOptionValue(std::uint8_t code, std::string_view text);
// Bytes the option's format cannot hold come back as "0x…".
std::string optionValueText(std::uint8_t code, std::span<const std::uint8_t> data);

}  // namespace anvil
