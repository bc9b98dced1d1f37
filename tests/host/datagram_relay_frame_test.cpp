// The relay's messages read back from their bytes, and what is not one of them.
#include "core/host/datagram_relay_frame.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace anvil {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename Piece>
Bytes joined(const Piece& head, Bytes tail = {}) {
    Bytes bytes(head.begin(), head.end());
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

// A readable summary of what read() made of the bytes.
std::string readAs(const Bytes& bytes) {
    auto message = RelayFrame::read(bytes);
    if (!message) return "not a message";
    auto payload = [](std::span<const std::uint8_t> span) { return std::to_string(span.size()) + " bytes"; };
    if (auto datagram = std::get_if<RelayFrame::Datagram>(&*message)) {
        const auto& h = datagram->header;
        return "datagram " + std::to_string(h.source) + ":" + std::to_string(h.sourcePort) + " on " +
               std::to_string(h.interfaceIndex) + " for " + std::to_string(h.localAddress) + "/" +
               std::to_string(h.destination) + " after " + std::to_string(h.droppedBefore) + ", " +
               payload(datagram->payload);
    }
    if (auto frame = std::get_if<RelayFrame::Frame>(&*message)) return "frame, " + payload(frame->bytes);
    if (auto ended = std::get_if<RelayFrame::Ended>(&*message)) return "ended: " + std::string(ended->reason);
    if (auto send = std::get_if<RelayFrame::Send>(&*message))
        return "send to " + std::to_string(send->header.destination) + ":" + std::to_string(send->header.port) + ", " +
               payload(send->payload);
    return "result " + std::to_string(std::get<RelayFrame::SendResult>(*message).code);
}

TEST(RelayFrame, ReadsBackWhatWasWrittenAndNothingThatIsShortOversizeOrUnknown) {
    RelayFrame::DatagramHeader header{0x0a000002u, 68, 7, 0x0a000001u, 0xffffffffu, 3};
    auto datagram = RelayFrame::datagramHeader(header);
    auto send = RelayFrame::sendHeader({0xffffffffu, 68});
    auto frame = RelayFrame::frameHeader();
    auto endedText = RelayFrame::ended("card en0 carries a default route");
    Bytes ended(endedText.begin(), endedText.end());
    const std::size_t most = RelayFrame::largestPayload;
    struct Row {
        std::string what;
        Bytes bytes;
        std::string read;
    };
    const Row rows[] = {
        {"a datagram", joined(datagram, Bytes(300, 1)),
         "datagram 167772162:68 on 7 for 167772161/4294967295 after 3, 300 bytes"},
        {"an empty datagram", joined(datagram), "datagram 167772162:68 on 7 for 167772161/4294967295 after 3, 0 bytes"},
        {"the largest datagram", joined(datagram, Bytes(most, 1)),
         "datagram 167772162:68 on 7 for 167772161/4294967295 after 3, 65507 bytes"},
        {"a datagram one byte too long", joined(datagram, Bytes(most + 1, 1)), "not a message"},
        {"a datagram header cut short", Bytes(datagram.begin(), datagram.end() - 1), "not a message"},
        {"a send", joined(send, Bytes(300, 2)), "send to 4294967295:68, 300 bytes"},
        {"the largest send", joined(send, Bytes(most, 2)), "send to 4294967295:68, 65507 bytes"},
        {"a send one byte too long", joined(send, Bytes(most + 1, 2)), "not a message"},
        {"a send header cut short", Bytes(send.begin(), send.end() - 1), "not a message"},
        {"a frame", joined(frame, Bytes(60, 3)), "frame, 60 bytes"},
        {"a frame too long", joined(frame, Bytes(most + 1, 3)), "not a message"},
        {"an ended sentence", ended, "ended: card en0 carries a default route"},
        {"an ended sentence with a newline", joined(ended, {'\n'}), "not a message"},
        {"an ended sentence too long", joined(Bytes{3}, Bytes(RelayFrame::longestReason + 1, 'x')), "not a message"},
        {"a result", joined(RelayFrame::sendResult(13)), "result 13"},
        {"a result with a byte more", joined(RelayFrame::sendResult(0), {0}), "not a message"},
        {"a result cut short", Bytes{5, 0, 0}, "not a message"},
        {"nothing", {}, "not a message"},
        {"an unknown kind", Bytes{0, 1, 2, 3}, "not a message"},
        {"another unknown kind", Bytes{6}, "not a message"},
    };
    for (const auto& row : rows) EXPECT_EQ(readAs(row.bytes), row.read) << row.what;
    // A sentence is cut to fit rather than refused when it is written.
    EXPECT_EQ(RelayFrame::ended(std::string(2 * RelayFrame::longestReason, 'x')).size(), RelayFrame::longestReason + 1);
}

}  // namespace
}  // namespace anvil
