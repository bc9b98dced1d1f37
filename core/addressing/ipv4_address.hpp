#pragma once
// An IPv4 address as a 32-bit number, first dotted component most significant.
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/addressing/bytes.hpp"

namespace anvil {

struct IPv4Address {
    std::uint32_t value = 0;

    constexpr IPv4Address() = default;
    constexpr explicit IPv4Address(std::uint32_t number) : value(number) {}
    constexpr IPv4Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
        : value((std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d) {}

    // Nothing unless exactly four bytes.
    static std::optional<IPv4Address> fromBytes(std::span<const std::uint8_t> bytes);
    // Nothing unless a strict dotted quad; the text is not trimmed.
    static std::optional<IPv4Address> parse(std::string_view text);

    static const IPv4Address zero;
    static const IPv4Address broadcast;
    static const IPv4Address loopback;

    Bytes bytes() const { return bigEndianBytes(value); }
    constexpr bool isLinkLocal() const { return (value >> 16) == 0xA9FE; }
    std::string description() const;

    friend constexpr bool operator==(IPv4Address, IPv4Address) = default;
    friend constexpr auto operator<=>(IPv4Address, IPv4Address) = default;
};

inline constexpr IPv4Address IPv4Address::zero{0u};
inline constexpr IPv4Address IPv4Address::broadcast{0xFFFFFFFFu};
inline constexpr IPv4Address IPv4Address::loopback{127, 0, 0, 1};

}  // namespace anvil

template <>
struct std::hash<anvil::IPv4Address> {
    std::size_t operator()(anvil::IPv4Address ip) const noexcept { return std::hash<std::uint32_t>{}(ip.value); }
};
