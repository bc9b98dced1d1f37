#pragma once
// A list of domain names in DNS wire form (RFC 1035 labels, as option 119 carries them, RFC 3397).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/bytes.hpp"

namespace anvil {

// Each name as its labels and a root label, without compression: every client reads that form.
// Nothing when a name is empty, has an empty label or one over 63 bytes, holds a byte other than a
// letter, digit, hyphen or underscore, or is longer than 253 characters.
std::optional<Bytes> encodeDomainList(const std::vector<std::string_view>& names);
// The names, compression pointers followed (backwards only, so a loop cannot run forever);
// nothing when the bytes are not such a list.
std::optional<std::vector<std::string>> decodeDomainList(std::span<const std::uint8_t> data);

}  // namespace anvil
