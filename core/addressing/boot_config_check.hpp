#pragma once
// What a usable network boot setting is: the folder, the boot file names and the block size ceiling,
// each refused with a sentence for the user.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/addressing/boot_config.hpp"

namespace anvil {

// RFC 2348's bounds for a negotiated block size.
inline constexpr std::uint16_t smallestBlockSizeCeiling = 8;
inline constexpr std::uint16_t largestBlockSizeCeiling = 65464;
// The name goes into the reply's 128-byte file field, which needs room for its terminating zero.
inline constexpr std::size_t longestBootFileName = 127;

// Nothing when usable.
std::optional<std::string> bootFolderProblem(std::string_view folder);
std::optional<std::string> bootFileNameProblem(std::string_view name);
std::optional<std::string> blockSizeCeilingProblem(long long ceiling);
// The first problem of the whole setting.
std::optional<std::string> bootConfigProblem(const BootConfig& config);

}  // namespace anvil
