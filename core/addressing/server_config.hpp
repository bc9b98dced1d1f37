#pragma once
// What the DHCP server hands out: its own address and subnet, the client range, lease time,
// router and DNS servers, pinned devices, user options and whether BOOTP is answered. Not guaranteed valid until validate() returns no errors.
#include <cstdint>
#include <optional>
#include <vector>

#include "core/addressing/boot_config.hpp"
#include "core/addressing/config_error.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/pin.hpp"
#include "core/addressing/subnet.hpp"
#include "core/addressing/user_option.hpp"

namespace anvil {

// A closed range of addresses, both bounds included.
struct AddressRange {
    IPv4Address lowerBound;
    IPv4Address upperBound;

    bool contains(IPv4Address ip) const { return lowerBound <= ip && ip <= upperBound; }
    friend bool operator==(const AddressRange&, const AddressRange&) = default;
};

struct ServerConfig {
    IPv4Address serverIP;
    int prefixLength = 0;
    IPv4Address rangeStart;
    IPv4Address rangeEnd;
    std::uint32_t leaseSeconds = 0;
    std::optional<IPv4Address> router;
    std::vector<IPv4Address> dns;
    // Network boot; off when absent.
    std::optional<BootConfig> boot;
    // Devices that always get the same address.
    std::vector<Pin> pins = {};
    // Options beyond router and DNS, each for the devices its match names.
    std::vector<UserOption> userOptions = {};
    // Plain BOOTP requests (no option 53) are answered unless this is off.
    bool answerBOOTP = true;

    Subnet subnet() const;
    IPv4Address mask() const;
    IPv4Address broadcastAddress() const;
    std::uint32_t renewalSeconds() const { return leaseSeconds / 2; }
    std::uint32_t rebindingSeconds() const { return static_cast<std::uint32_t>(std::uint64_t{leaseSeconds} * 7 / 8); }
    AddressRange range() const;
    int rangeCount() const;
    bool inRange(IPv4Address ip) const { return rangeStart <= ip && ip <= rangeEnd; }

    // Every problem, in the order the user reads them; empty when usable.
    std::vector<ConfigError> validate() const;

    friend bool operator==(const ServerConfig&, const ServerConfig&) = default;
};

// What both front ends serve when nobody chose otherwise: 192.168.0.1/24 handing out .100 to .200
// for a day, no router, no DNS.
ServerConfig defaultServerConfig();

}  // namespace anvil
