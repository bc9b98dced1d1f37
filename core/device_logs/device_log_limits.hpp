#pragma once
// What one device may make the receiver keep or pass on.
#include <cstddef>

namespace anvil::DeviceLogLimits {

// A line or message longer than this is cut; the rest of it is not kept.
inline constexpr std::size_t lineBytes = 8192;
// A partial console line waits this long for the rest of it.
inline constexpr double partialLineSeconds = 1;
// A sender past either of these in one second has its further lines dropped until the next.
inline constexpr std::size_t linesPerSecond = 256;
inline constexpr std::size_t bytesPerSecond = 64 * 1024;

}  // namespace anvil::DeviceLogLimits
