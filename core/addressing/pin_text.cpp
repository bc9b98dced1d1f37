#include "core/addressing/pin_text.hpp"

#include <cstdio>

namespace anvil {

namespace {

constexpr std::string_view idPrefix = "id:";
// A label is shown beside the lease; a line of text, not a document.
constexpr std::size_t maximumLabel = 64;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Pairs of hexadecimal digits, optionally separated by ":".
std::optional<Bytes> hexBytes(std::string_view text) {
    std::string digits;
    for (char c : text)
        if (c != ':') digits += c;
    if (digits.empty() || digits.size() % 2 != 0 || digits.size() > 2 * 255) return std::nullopt;
    Bytes bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        int high = hexDigit(digits[i]), low = hexDigit(digits[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

}  // namespace

PinReading readPin(std::string_view device, std::string_view ip, std::string_view label) {
    Pin pin;
    if (device.starts_with(idPrefix)) {
        pin.clientID = hexBytes(device.substr(idPrefix.size()));
        if (!pin.clientID) return {std::nullopt, "A client identifier is id: and hexadecimal bytes, like id:01:02:03."};
    } else {
        pin.mac = MACAddress::parse(device);
        if (!pin.mac)
            return {std::nullopt, "\"" + std::string(device) +
                                      "\" is not a hardware address like 02:00:00:00:00:01 or a client identifier "
                                      "like id:01:02:03."};
    }
    auto address = IPv4Address::parse(ip);
    if (!address) return {std::nullopt, "\"" + std::string(ip) + "\" is not an IPv4 address."};
    if (label.size() > maximumLabel)
        return {std::nullopt, "A label is at most " + std::to_string(maximumLabel) + " characters."};
    pin.ip = *address;
    pin.label = std::string(label);
    return {pin, {}};
}

std::string deviceText(const Pin& pin) {
    if (pin.mac) return pin.mac->description();
    std::string text(idPrefix);
    for (std::size_t i = 0; pin.clientID && i < pin.clientID->size(); ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x", (*pin.clientID)[i]);
        text += (i ? ":" : "") + std::string(pair);
    }
    return text;
}

}  // namespace anvil
