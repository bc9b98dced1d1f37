// Feeds arbitrary datagrams to the TFTP parser: a packet must encode to bytes that parse back to
// the same value. Request file names also go through the path normaliser and request options
// through negotiation, and the input, cut into datagrams, drives a transfer to its end.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>

#include "core/tftp/tftp_options.hpp"
#include "core/tftp/tftp_packet.hpp"
#include "core/tftp/tftp_path.hpp"
#include "core/tftp/tftp_transfer.hpp"

namespace {

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void checkStep(const anvil::TFTPStep& step, const anvil::TFTPTransfer& transfer) {
    for (const auto& send : step.sends) {
        if (const auto* block = std::get_if<anvil::TFTPDataBlock>(&send)) {
            check(block->offset + block->length <= transfer.fileSize(), "block beyond the end of the file");
            check(block->length <= transfer.options().blockSize, "block longer than negotiated");
        }
    }
    check(step.failure.has_value() == (step.outcome == anvil::TFTPOutcome::failed), "failure without outcome");
    check(transfer.bytesAcknowledged() <= transfer.fileSize(), "more acknowledged than the file holds");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto parsed = anvil::parseTFTPPacket(data, size);
    if (const auto* packet = std::get_if<anvil::TFTPPacket>(&parsed)) {
        auto bytes = anvil::encodeTFTPPacket(*packet);
        auto again = anvil::parseTFTPPacket(bytes.data(), bytes.size());
        const auto* repeated = std::get_if<anvil::TFTPPacket>(&again);
        check(repeated != nullptr, "re-encoded TFTP packet does not parse");
        check(*repeated == *packet, "re-encoded TFTP packet parses to a different value");
        if (const auto* request = std::get_if<anvil::TFTPRequest>(packet)) {
            auto path = anvil::normalizeTFTPPath(request->fileName);
            if (const auto* relative = std::get_if<std::string>(&path)) {
                std::size_t start = 0;
                while (start <= relative->size()) {
                    auto end = relative->find('/', start);
                    if (end == std::string::npos) end = relative->size();
                    auto component = relative->substr(start, end - start);
                    check(!component.empty() && component != "." && component != "..", "path not plain");
                    check(component.find('\\') == std::string::npos, "backslash left in a path");
                    start = end + 1;
                }
            }
            (void)anvil::negotiateTFTPOptions(request->options, size, static_cast<std::uint16_t>(size));
        }
    } else {
        (void)std::get<anvil::TFTPParseError>(parsed).description();
    }

    // The first bytes choose the file and the options; the rest are datagrams of 4 bytes, an empty
    // one standing for a timeout.
    if (size < 4) return 0;
    anvil::TFTPNegotiation negotiation;
    negotiation.options.blockSize = static_cast<std::uint16_t>(8 + data[0] % 64);
    negotiation.options.windowSize = static_cast<std::uint16_t>(1 + data[1] % 8);
    if (data[2] & 1) negotiation.acknowledged = {{"blksize", std::to_string(negotiation.options.blockSize)}};
    std::uint64_t fileSize = static_cast<std::uint64_t>(data[3]) * (data[2] >> 1);
    anvil::TFTPTransfer transfer(fileSize, negotiation);
    checkStep(transfer.start(), transfer);
    for (std::size_t offset = 4; offset + 4 <= size; offset += 4) {
        if (data[offset] == 0xFF) {
            checkStep(transfer.onTimeout(), transfer);
            continue;
        }
        auto datagram = anvil::parseTFTPPacket(data + offset, 4);
        if (const auto* packet = std::get_if<anvil::TFTPPacket>(&datagram))
            checkStep(transfer.onPacket(*packet), transfer);
    }
    return 0;
}
