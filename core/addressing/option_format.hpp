#pragma once
// What each known DHCP option is called and how its value is laid out on the wire: the one table
// that both the log's rendering of options and the reading of user-set values go by.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace anvil {

enum class OptionFormat {
    hex,            // bytes without a known layout
    address,        // exactly one IPv4 address
    addresses,      // one or more
    text,
    domainName,     // a host or domain name as text, never an address
    seconds,        // unsigned 32-bit
    signedSeconds,  // signed 32-bit, such as a time offset
    byte,           // unsigned 8-bit
    number16,
    numbers16,
    flag,           // one byte, 0 or 1
    domainList,     // RFC 1035 names one after another (RFC 3397)
    // Laid out for what clients send; never set by a user.
    messageType,
    parameterList,
    clientID,
    clientFQDN,
    architecture,
    present,  // no data: the option's presence is its meaning
};

struct OptionDescription {
    // Empty for a code without a registered name.
    std::string_view name;
    OptionFormat format = OptionFormat::hex;
};

// A code nobody registered has no name and is hex.
OptionDescription optionDescription(std::uint8_t code);
// The code of a known option by its name, ignoring case: "ntp servers" gives 42.
std::optional<std::uint8_t> optionCodeNamed(std::string_view name);
// "Option 42 (NTP Servers)", "Option 224": how sentences about an option name it.
std::string optionLabel(std::uint8_t code);

}  // namespace anvil
