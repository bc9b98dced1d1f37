#pragma once
// Names of DHCP options and their values rendered for people, for every option a client may send.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/dhcp/dhcp_option_field.hpp"

namespace anvil {

struct RenderedOption {
    std::uint8_t code = 0;
    std::string name;
    std::string value;

    friend bool operator==(const RenderedOption&, const RenderedOption&) = default;
};

namespace OptionCatalog {

// "Subnet Mask", "Router", ...; a code the catalogue does not know reads "Option 224".
std::string name(std::uint8_t code);
// Addresses dotted, times as durations, text made printable, lists joined by ", "; data of a
// length the option cannot have, and options the catalogue does not know, as hexadecimal.
std::string value(std::uint8_t code, std::span<const std::uint8_t> data);
RenderedOption render(const DHCPOptionField& field);
// The names of the codes of a parameter request list, in the order asked.
std::vector<std::string> names(std::span<const std::uint8_t> codes);
// "x64 UEFI" for 7, "architecture 99" for a type without a name.
std::string architectureName(std::uint16_t type);

}  // namespace OptionCatalog

}  // namespace anvil
