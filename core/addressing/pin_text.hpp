#pragma once
// A pin read from the words a person typed: in a settings row, after --pin, or on a line of a pins file.
#include <optional>
#include <string>
#include <string_view>

#include "core/addressing/pin.hpp"

namespace anvil {

struct PinReading {
    std::optional<Pin> pin;
    // Why not, in a sentence, when pin is empty.
    std::string error;
};

// device is a hardware address, or "id:" and the client identifier in hexadecimal.
PinReading readPin(std::string_view device, std::string_view ip, std::string_view label);
// The device as readPin takes it back.
std::string deviceText(const Pin& pin);

}  // namespace anvil
