#pragma once
// A six-byte hardware address; its text is lower-case hex pairs joined by ":".
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace anvil {

struct MACAddress {
    std::array<std::uint8_t, 6> bytes{};

    // Nothing unless exactly six bytes.
    static std::optional<MACAddress> fromBytes(std::span<const std::uint8_t> bytes);
    // Nothing unless six colon-separated hexadecimal pairs.
    static std::optional<MACAddress> parse(std::string_view text);

    std::string description() const;

    friend bool operator==(const MACAddress&, const MACAddress&) = default;
};

}  // namespace anvil

template <>
struct std::hash<anvil::MACAddress> {
    std::size_t operator()(const anvil::MACAddress& mac) const noexcept {
        std::uint64_t folded = 0;
        for (auto byte : mac.bytes) folded = (folded << 8) | byte;
        return std::hash<std::uint64_t>{}(folded);
    }
};
