#pragma once
// A DHCP option the user set, and which devices it is for.
#include <cstdint>
#include <string>

#include "core/addressing/bytes.hpp"

namespace anvil {

struct OptionMatch {
    // From the most specific to the most general: a reply takes an option code from the most
    // specific match that sets it.
    enum class Kind { device, maker, vendorClass, userClass, bootKind, everyDevice };

    Kind kind = Kind::everyDevice;
    // A hardware address ("aa:bb:cc:dd:ee:ff"), its first three bytes ("aa:bb:cc"), a class prefix,
    // or a boot kind's raw name; empty for every device.
    std::string value;

    friend bool operator==(const OptionMatch&, const OptionMatch&) = default;
};

struct UserOption {
    OptionMatch match;
    std::uint8_t code = 0;
    // The encoded value, as it goes on the wire.
    Bytes data;
    // Sent even when the device did not ask for it in option 55.
    bool always = false;

    friend bool operator==(const UserOption&, const UserOption&) = default;
};

}  // namespace anvil
