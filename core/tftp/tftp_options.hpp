#pragma once
// Negotiation of TFTP options (RFC 2347-2349, 7440) for one read request.
#include <cstdint>
#include <optional>

#include "core/tftp/tftp_limits.hpp"
#include "core/tftp/tftp_packet.hpp"

namespace anvil {

// What a transfer runs with; without options, RFC 1350's 512-byte lock-step.
struct TFTPTransferOptions {
    std::uint16_t blockSize = defaultTFTPBlockSize;
    std::uint16_t windowSize = 1;
    // Seconds between retransmissions, when the client asked for its own.
    std::optional<std::uint8_t> timeoutSeconds;

    unsigned timeoutOrDefault() const { return timeoutSeconds ? *timeoutSeconds : defaultTFTPTimeoutSeconds; }
    friend bool operator==(const TFTPTransferOptions&, const TFTPTransferOptions&) = default;
};

struct TFTPNegotiation {
    TFTPTransferOptions options;
    // The OACK's options, in the client's order; empty means no OACK is sent.
    TFTPOptions acknowledged;

    bool sendsOptionAck() const { return !acknowledged.empty(); }
    friend bool operator==(const TFTPNegotiation&, const TFTPNegotiation&) = default;
};

// blksize 8..65464 is clipped to the ceiling (itself kept within 8..65464); tsize is answered with
// the file's size; timeout 1..5 is taken as asked, 6..255 is run at 5 and not acknowledged;
// windowsize 1..65535 is clipped to 64. Values
// out of range, not plain decimal, and unknown options are ignored.
TFTPNegotiation negotiateTFTPOptions(const TFTPOptions& requested, std::uint64_t fileSize,
                                     std::uint16_t blockSizeCeiling = defaultTFTPBlockSizeCeiling);

}  // namespace anvil
