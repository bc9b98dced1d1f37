#pragma once
// An address with a prefix length; the address is kept as given, not masked.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/addressing/ipv4_address.hpp"

namespace anvil {

struct Subnet {
    IPv4Address address;
    int prefixLength = 0;

    // Nothing when the prefix length is outside 0 to 32.
    static std::optional<Subnet> make(IPv4Address address, int prefixLength);
    // From text such as 192.168.0.1/24.
    static std::optional<Subnet> parse(std::string_view cidr);
    // The prefix length of a contiguous netmask.
    static std::optional<int> prefixLengthOfMask(IPv4Address mask);
    // The netmask of a prefix length in 0 to 32.
    static IPv4Address maskOf(int prefixLength);

    IPv4Address mask() const { return maskOf(prefixLength); }
    IPv4Address network() const { return IPv4Address{address.value & mask().value}; }
    IPv4Address broadcast() const;
    bool contains(IPv4Address ip) const { return (address.value & mask().value) == (ip.value & mask().value); }
    bool overlaps(const Subnet& other) const;
    std::string description() const;

    friend bool operator==(const Subnet&, const Subnet&) = default;
};

// One IPv4 address configured on a network card.
struct InterfaceAddress {
    std::string name;
    Subnet subnet;
    bool isPointToPoint = false;

    friend bool operator==(const InterfaceAddress&, const InterfaceAddress&) = default;
};

}  // namespace anvil

template <>
struct std::hash<anvil::Subnet> {
    std::size_t operator()(const anvil::Subnet& subnet) const noexcept {
        return std::hash<std::uint64_t>{}((std::uint64_t{subnet.address.value} << 8) ^
                                          static_cast<std::uint64_t>(subnet.prefixLength));
    }
};

template <>
struct std::hash<anvil::InterfaceAddress> {
    std::size_t operator()(const anvil::InterfaceAddress& entry) const noexcept {
        return std::hash<std::string>{}(entry.name) ^ (std::hash<anvil::Subnet>{}(entry.subnet) << 1) ^
               static_cast<std::size_t>(entry.isPointToPoint);
    }
};
