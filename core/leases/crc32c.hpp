#pragma once
// CRC-32C (Castagnoli), as the journal frames its records and names its snapshot.
#include <cstdint>
#include <string_view>

namespace anvil {

// Uses the processor's CRC32 instruction where it has one; the same value either way.
std::uint32_t crc32c(std::string_view bytes);
// The portable way, eight bytes a step.
std::uint32_t crc32cPortable(std::string_view bytes);

}  // namespace anvil
