#pragma once
// Text from outside the program made safe to print: control bytes shown as \xNN.
#include <cstdint>
#include <string>
#include <string_view>

namespace anvil {

// Appends the four characters \xNN for one byte.
void appendEscapedByte(std::string& text, std::uint8_t byte);

// Printable ASCII and well-formed UTF-8 as they are; control bytes (C0, DEL, and C1 in their UTF-8
// form, which some terminals obey) and bytes of malformed UTF-8 as \xNN, so that a name can neither
// move the cursor, recolour the terminal nor start a new line.
std::string plainText(std::string_view text);

}  // namespace anvil
