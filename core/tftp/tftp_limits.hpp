#pragma once
// How much the TFTP server takes on: transfers at once, tries per packet, option ceilings.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/addressing/boot_config.hpp"
#include "core/tftp/tftp_texts.hpp"

namespace anvil {

inline constexpr std::size_t maximumTFTPTransfers = 16;
inline constexpr std::size_t maximumTFTPTransfersPerClient = 4;
// Sends of one packet (the first and its retransmissions) before a transfer gives up.
inline constexpr unsigned tftpTriesPerPacket = 5;
inline constexpr unsigned defaultTFTPTimeoutSeconds = 1;

inline constexpr std::uint16_t defaultTFTPBlockSize = 512;
inline constexpr std::uint16_t smallestTFTPBlockSize = 8;
inline constexpr std::uint16_t largestTFTPBlockSize = 65464;
inline constexpr std::uint16_t defaultTFTPBlockSizeCeiling = defaultBlockSizeCeiling;
inline constexpr std::uint16_t tftpWindowSizeCeiling = 64;

enum class TFTPAdmissionRefusal {
    tooManyTransfers,
    tooManyForClient,
};

inline std::string_view description(TFTPAdmissionRefusal refusal) {
    return refusal == TFTPAdmissionRefusal::tooManyTransfers ? TFTPText::tooManyTransfers : TFTPText::tooManyForClient;
}

// Whether one more transfer may start, given those running in all and for this client.
inline std::optional<TFTPAdmissionRefusal> admitTFTPTransfer(std::size_t activeTotal, std::size_t activeForClient) {
    if (activeTotal >= maximumTFTPTransfers) return TFTPAdmissionRefusal::tooManyTransfers;
    if (activeForClient >= maximumTFTPTransfersPerClient) return TFTPAdmissionRefusal::tooManyForClient;
    return std::nullopt;
}

}  // namespace anvil
