#include "core/tftp/tftp_options.hpp"

#include <algorithm>
#include <string>
#include <string_view>

namespace anvil {

namespace {

// Plain decimal digits only; nothing for a sign, spaces, or more digits than any option allows.
std::optional<std::uint64_t> decimal(std::string_view text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

}  // namespace

TFTPNegotiation negotiateTFTPOptions(const TFTPOptions& requested, std::uint64_t fileSize,
                                     std::uint16_t blockSizeCeiling) {
    auto ceiling = std::clamp(blockSizeCeiling, smallestTFTPBlockSize, largestTFTPBlockSize);
    TFTPNegotiation negotiation;
    for (const auto& option : requested) {
        auto value = decimal(option.value);
        if (!value) continue;
        if (option.name == "blksize") {
            if (*value < smallestTFTPBlockSize || *value > largestTFTPBlockSize) continue;
            auto size = static_cast<std::uint16_t>(std::min<std::uint64_t>(*value, ceiling));
            negotiation.options.blockSize = size;
            negotiation.acknowledged.push_back({option.name, std::to_string(size)});
        } else if (option.name == "tsize") {
            negotiation.acknowledged.push_back({option.name, std::to_string(fileSize)});
        } else if (option.name == "timeout") {
            if (*value < 1 || *value > 255) continue;
            // RFC 2349 lets the OACK carry only the value asked for: a longer one is run at the
            // ceiling and left out, so the client keeps its own timing.
            negotiation.options.timeoutSeconds =
                static_cast<std::uint8_t>(std::min<std::uint64_t>(*value, largestTFTPTimeoutSeconds));
            if (*value <= largestTFTPTimeoutSeconds)
                negotiation.acknowledged.push_back({option.name, std::to_string(*value)});
        } else if (option.name == "windowsize") {
            if (*value < 1 || *value > 65535) continue;
            auto size = static_cast<std::uint16_t>(std::min<std::uint64_t>(*value, tftpWindowSizeCeiling));
            negotiation.options.windowSize = size;
            negotiation.acknowledged.push_back({option.name, std::to_string(size)});
        }
    }
    return negotiation;
}

}  // namespace anvil
