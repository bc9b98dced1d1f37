#pragma once
// A file of pins: "MAC IP [label]" lines, /etc/ethers lines "MAC IP", and dnsmasq
// "dhcp-host=MAC,IP[,name]" lines; "#" starts a comment, blank lines are passed over.
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/pin.hpp"

namespace anvil {

struct PinsFileError {
    int line = 0;
    std::string why;

    // "line 3: ..."
    std::string description() const { return "line " + std::to_string(line) + ": " + why; }
    friend bool operator==(const PinsFileError&, const PinsFileError&) = default;
};

struct PinsFile {
    std::vector<Pin> pins;
    std::vector<PinsFileError> errors;
};

PinsFile readPinsFile(std::string_view text);

}  // namespace anvil
