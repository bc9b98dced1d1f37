#pragma once
// How much the TFTP server takes on: transfers at once, tries per packet, option ceilings.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/addressing/boot_config.hpp"

namespace anvil {

inline constexpr std::size_t maximumTFTPTransfers = 16;
inline constexpr std::size_t maximumTFTPTransfersPerClient = 4;
// Sends of one packet (the first and its retransmissions) before a transfer gives up.
inline constexpr unsigned tftpTriesPerPacket = 5;
inline constexpr unsigned defaultTFTPTimeoutSeconds = 1;
// A client's `timeout` above this is run at this, so that a silent client cannot hold a slot long.
inline constexpr unsigned largestTFTPTimeoutSeconds = 5;
// A transfer whose client never acknowledged anything gives up within this, whatever its timeout.
inline constexpr unsigned tftpFirstAckWaitSeconds = 10;
// Request lines (requests, refusals, drops) shown each second; the rest are summed up in one line.
inline constexpr std::uint32_t tftpRequestLinesPerSecond = 32;

inline constexpr std::uint16_t defaultTFTPBlockSize = 512;
inline constexpr std::uint16_t smallestTFTPBlockSize = 8;
inline constexpr std::uint16_t largestTFTPBlockSize = 65464;
inline constexpr std::uint16_t defaultTFTPBlockSizeCeiling = defaultBlockSizeCeiling;
inline constexpr std::uint16_t tftpWindowSizeCeiling = 64;

// Sends of the first packet (OACK or first data) before a transfer that was never acknowledged
// gives up: as many as fit in tftpFirstAckWaitSeconds, at least one, never more than later packets get.
inline constexpr unsigned tftpTriesBeforeFirstAck(unsigned timeoutSeconds) {
    return std::clamp(tftpFirstAckWaitSeconds / std::max(timeoutSeconds, 1u), 1u, tftpTriesPerPacket);
}

}  // namespace anvil
