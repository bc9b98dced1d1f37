#pragma once
// The core's fixed time constants.
#include <cstdint>

namespace anvil::Timing {

inline constexpr double offerHold = 60;
inline constexpr double quarantine = 600;
inline constexpr double presenceInterval = 10;
inline constexpr double probeTimeout = 1;
inline constexpr int maxProbesPerPacket = 5;
inline constexpr std::uint32_t minimumLease = 60;
inline constexpr std::uint32_t maximumLease = 2592000;

}  // namespace anvil::Timing

namespace anvil::DHCPCoreInfo {

inline constexpr const char* version = "0.2.1";

}  // namespace anvil::DHCPCoreInfo
