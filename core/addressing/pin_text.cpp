#include "core/addressing/pin_text.hpp"

namespace anvil {

PinReading readPin(std::string_view device, std::string_view ip, std::string_view label) {
    Pin pin;
    auto mac = MACAddress::parse(device);
    auto address = IPv4Address::parse(ip);
    if (!mac) return {std::nullopt, "Not a hardware address."};
    if (!address) return {std::nullopt, "Not an IPv4 address."};
    pin.mac = mac;
    pin.ip = *address;
    pin.label = std::string(label);
    return {pin, {}};
}

std::string deviceText(const Pin& pin) { return pin.mac ? pin.mac->description() : std::string(); }

}  // namespace anvil
