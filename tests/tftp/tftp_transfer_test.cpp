#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/tftp/tftp_options.hpp"
#include "core/tftp/tftp_packet.hpp"
#include "core/tftp/tftp_transfer.hpp"

namespace anvil {
namespace {

TFTPNegotiation negotiated(std::uint16_t blockSize, std::uint16_t windowSize, bool optionAck) {
    TFTPNegotiation negotiation;
    negotiation.options.blockSize = blockSize;
    negotiation.options.windowSize = windowSize;
    if (optionAck) negotiation.acknowledged = {{"blksize", std::to_string(blockSize)}};
    return negotiation;
}

TFTPNegotiation withTimeout(unsigned seconds) {
    auto negotiation = negotiated(512, 1, true);
    negotiation.options.timeoutSeconds = static_cast<std::uint8_t>(seconds);
    return negotiation;
}

// One line per step: "D<block>@<offset>+<length>" per data block, OACK, ERR<code>, then the timer
// and the outcome, e.g. "D1@0+512 timer running".
std::string describe(const TFTPStep& step) {
    std::string text;
    for (const auto& send : step.sends) {
        if (const auto* block = std::get_if<TFTPDataBlock>(&send)) {
            text += "D" + std::to_string(block->block) + "@" + std::to_string(block->offset) + "+" +
                    std::to_string(block->length) + " ";
            continue;
        }
        const auto& bytes = std::get<Bytes>(send);
        auto parsed = parseTFTPPacket(bytes.data(), bytes.size());
        const auto* packet = std::get_if<TFTPPacket>(&parsed);
        if (packet && std::holds_alternative<TFTPOptionAck>(*packet)) text += "OACK ";
        else if (packet && std::holds_alternative<TFTPError>(*packet))
            text += "ERR" + std::to_string(std::get<TFTPError>(*packet).code) + " ";
        else text += "?? ";
    }
    if (step.restartTimer) text += "timer ";
    switch (step.outcome) {
        case TFTPOutcome::running: text += "running"; break;
        case TFTPOutcome::finished: text += "finished"; break;
        case TFTPOutcome::failed: text += "failed"; break;
    }
    EXPECT_EQ(step.failure.has_value(), step.outcome == TFTPOutcome::failed);
    return text;
}

// "start", "timeout", "ack N", "error", "data", "rrq", "oack".
TFTPStep apply(TFTPTransfer& transfer, const std::string& event) {
    if (event == "start") return transfer.start();
    if (event == "timeout") return transfer.onTimeout();
    if (event.starts_with("ack ")) return transfer.onPacket(TFTPAck{static_cast<std::uint16_t>(std::stoul(event.substr(4)))});
    if (event == "error") return transfer.onPacket(TFTPError{8, "no thanks"});
    if (event == "data") return transfer.onPacket(TFTPData{1, {1}});
    if (event == "rrq") return transfer.onPacket(TFTPRequest{false, "f", "octet", {}});
    if (event == "oack") return transfer.onPacket(TFTPOptionAck{});
    ADD_FAILURE() << "unknown event " << event;
    return {};
}

struct Scripted {
    std::string name;
    std::uint64_t fileSize;
    TFTPNegotiation negotiation;
    std::vector<std::pair<std::string, std::string>> steps;  // event, expected description
};

TEST(TFTPTransfer, answersEachPacketAndTimeoutAsScripted) {
    const std::vector<Scripted> cases{
        {"lock-step, duplicate ACK sends nothing",
         1000,
         negotiated(512, 1, false),
         {{"start", "D1@0+512 timer running"},
          {"ack 1", "D2@512+488 timer running"},
          {"ack 1", "running"},
          {"ack 0", "running"},
          {"ack 2", "finished"},
          {"ack 2", "finished"},
          {"timeout", "finished"}}},
        {"empty file is one empty block", 0, negotiated(512, 1, false),
         {{"start", "D1@0+0 timer running"}, {"ack 1", "finished"}}},
        {"exact multiple ends with an empty block",
         1024,
         negotiated(512, 4, false),
         {{"start", "D1@0+512 D2@512+512 D3@1024+0 timer running"},
          {"ack 2", "running"},
          {"timeout", "D3@1024+0 timer running"},
          {"ack 3", "finished"}}},
        {"OACK first, ACK 0 starts data",
         600,
         negotiated(512, 1, true),
         {{"start", "OACK timer running"},
          {"ack 1", "running"},
          {"timeout", "OACK timer running"},
          {"ack 0", "D1@0+512 timer running"},
          {"ack 0", "running"},
          {"ack 1", "D2@512+88 timer running"},
          {"ack 2", "finished"}}},
        {"a partial ACK slides the window; repeats of it resend once",
         10 * 512,
         negotiated(512, 4, false),
         {{"start", "D1@0+512 D2@512+512 D3@1024+512 D4@1536+512 timer running"},
          {"ack 2", "D5@2048+512 D6@2560+512 timer running"},
          {"ack 1", "running"},
          {"ack 2", "running"},
          {"ack 9", "running"},
          {"ack 2", "D3@1024+512 D4@1536+512 D5@2048+512 D6@2560+512 timer running"},
          {"ack 2", "running"},
          {"timeout", "D3@1024+512 D4@1536+512 D5@2048+512 D6@2560+512 timer running"},
          {"ack 6", "D7@3072+512 D8@3584+512 D9@4096+512 D10@4608+512 timer running"},
          {"ack 10", "D11@5120+0 timer running"},
          {"ack 11", "finished"}}},
        {"repeats echoing our own resend are not a loss",
         10 * 512,
         negotiated(512, 4, false),
         {{"start", "D1@0+512 D2@512+512 D3@1024+512 D4@1536+512 timer running"},
          {"timeout", "D1@0+512 D2@512+512 D3@1024+512 D4@1536+512 timer running"},
          {"ack 4", "D5@2048+512 D6@2560+512 D7@3072+512 D8@3584+512 timer running"},
          {"ack 4", "running"},
          {"ack 4", "running"},
          {"ack 4", "running"},
          {"timeout", "D5@2048+512 D6@2560+512 D7@3072+512 D8@3584+512 timer running"}}},
        {"timeouts without progress fail on the fifth",
         100,
         negotiated(512, 1, false),
         {{"start", "D1@0+100 timer running"},
          {"timeout", "D1@0+100 timer running"},
          {"timeout", "D1@0+100 timer running"},
          {"ack 0", "running"},
          {"timeout", "D1@0+100 timer running"},
          {"timeout", "D1@0+100 timer running"},
          {"timeout", "failed"},
          {"ack 1", "failed"},
          {"timeout", "failed"}}},
        {"progress gives a packet its tries again",
         2000,
         negotiated(512, 1, false),
         {{"start", "D1@0+512 timer running"},
          {"timeout", "D1@0+512 timer running"},
          {"timeout", "D1@0+512 timer running"},
          {"timeout", "D1@0+512 timer running"},
          {"timeout", "D1@0+512 timer running"},
          {"ack 1", "D2@512+512 timer running"},
          {"timeout", "D2@512+512 timer running"},
          {"timeout", "D2@512+512 timer running"},
          {"timeout", "D2@512+512 timer running"},
          {"timeout", "D2@512+512 timer running"},
          {"timeout", "failed"}}},
        {"an unanswered OACK times out", 10, negotiated(512, 1, true),
         {{"start", "OACK timer running"},
          {"timeout", "OACK timer running"},
          {"timeout", "OACK timer running"},
          {"timeout", "OACK timer running"},
          {"timeout", "OACK timer running"},
          {"timeout", "failed"}}},
        {"client ERROR ends it", 5000, negotiated(512, 1, true),
         {{"start", "OACK timer running"}, {"error", "failed"}, {"ack 0", "failed"}}},
        {"DATA from the client is a protocol error", 5000, negotiated(512, 1, false),
         {{"start", "D1@0+512 timer running"}, {"data", "ERR4 failed"}}},
        {"RRQ on the transfer port is a protocol error", 5000, negotiated(512, 2, false),
         {{"start", "D1@0+512 D2@512+512 timer running"}, {"rrq", "ERR4 failed"}}},
        {"OACK from the client is a protocol error", 5000, negotiated(512, 1, true),
         {{"start", "OACK timer running"}, {"oack", "ERR4 failed"}}},
        {"once acknowledged, a 5-second timeout gets the usual five sends",
         2000,
         withTimeout(5),
         {{"start", "OACK timer running"},
          {"timeout", "OACK timer running"},
          {"ack 0", "D1@0+512 timer running"},
          {"timeout", "D1@0+512 timer running"},
          {"timeout", "D1@0+512 timer running"},
          {"timeout", "D1@0+512 timer running"},
          {"timeout", "D1@0+512 timer running"},
          {"timeout", "failed"}}},
        {"packets before start are ignored", 5000, negotiated(512, 1, false),
         {{"ack 1", "running"}, {"timeout", "running"}, {"start", "D1@0+512 timer running"}}},
    };
    for (const auto& c : cases) {
        TFTPTransfer transfer(c.fileSize, c.negotiation);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const auto& [event, expected] = c.steps[i];
            EXPECT_EQ(describe(apply(transfer, event)), expected) << c.name << ", step " << i << ": " << event;
        }
    }
}

TEST(TFTPTransfer, reportsWhyTheClientGaveUp) {
    TFTPTransfer byClient(100, negotiated(512, 1, false));
    byClient.start();
    auto step = byClient.onPacket(TFTPError{3, "disk \x1b[2J full"});
    ASSERT_TRUE(step.failure);
    EXPECT_EQ(*step.failure, (TFTPFailure{TFTPFailure::Kind::clientError, 3, "disk \x1b[2J full"}));
    EXPECT_EQ(step.failure->description(), "the client gave up with error 3 (disk \\x1b[2J full)");
}

// A made-up source never acknowledges: whatever timeout it asked for, its slot is free again
// within about ten seconds, and the transfer says it timed out.
TEST(TFTPTransfer, aClientThatNeverAcknowledgesIsGivenUpWithinTenSeconds) {
    struct Case {
        std::optional<unsigned> asked;
        unsigned interval;
        unsigned sends;
        unsigned tries = tftpTriesPerPacket;
    };
    const std::vector<Case> cases{
        {std::nullopt, 1, 5}, {1, 1, 5}, {2, 2, 5}, {3, 3, 3}, {4, 4, 2}, {5, 5, 2}, {255, 5, 2},
        // Fewer tries than the ten seconds allow: the tries win.
        {std::nullopt, 1, 2, 2},
    };
    for (const auto& c : cases) {
        auto negotiation = negotiated(512, 1, false);
        if (c.asked) negotiation.options.timeoutSeconds = static_cast<std::uint8_t>(*c.asked);
        TFTPTransfer transfer(5000, negotiation, c.tries);
        EXPECT_EQ(transfer.options().timeoutOrDefault(), c.interval) << c.asked.value_or(0);
        unsigned sends = transfer.start().sends.empty() ? 0 : 1;
        TFTPStep last;
        while (transfer.outcome() == TFTPOutcome::running && sends < 20) {
            last = transfer.onTimeout();
            sends += last.sends.empty() ? 0 : 1;
        }
        EXPECT_EQ(sends, c.sends) << c.asked.value_or(0);
        EXPECT_LE(sends * c.interval, 10u) << c.asked.value_or(0);
        EXPECT_FALSE(transfer.wasAcknowledged());
        ASSERT_TRUE(last.failure) << c.asked.value_or(0);
        EXPECT_EQ(last.failure->kind, TFTPFailure::Kind::timedOut) << c.asked.value_or(0);
    }
}

// A client after RFC 1350 and RFC 7440 on a network that loses, repeats and delays datagrams by
// fixed patterns. It checks every block it takes is the next piece of the file.
struct Network {
    unsigned dropDataEvery = 0;
    unsigned dropAckEvery = 0;
    unsigned repeatAckEvery = 0;
    bool staleAcks = false;  // an old ACK arrives before each real one
};

struct Run {
    TFTPOutcome outcome = TFTPOutcome::running;
    std::uint64_t bytesReceived = 0;
    bool inOrder = true;
    std::uint64_t dataSent = 0;
    std::uint64_t timeouts = 0;
    std::uint64_t bytesAcknowledged = 0;
};

Run simulate(std::uint64_t fileSize, const TFTPNegotiation& negotiation, Network network) {
    const auto blockSize = negotiation.options.blockSize;
    const auto windowSize = negotiation.options.windowSize;
    TFTPTransfer transfer(fileSize, negotiation);
    Run run;
    std::deque<TFTPSend> toClient;
    std::deque<TFTPPacket> toServer;
    std::uint64_t expected = 1;  // next block index the client wants
    unsigned inWindow = 0;
    std::uint64_t dataCount = 0, ackCount = 0;

    auto take = [&](TFTPStep step) {
        for (auto& send : step.sends) {
            if (std::holds_alternative<TFTPDataBlock>(send)) {
                ++run.dataSent;
                if (network.dropDataEvery && ++dataCount % network.dropDataEvery == 0) continue;
            }
            toClient.push_back(std::move(send));
        }
    };
    auto acknowledge = [&](std::uint64_t index) {
        ++ackCount;
        if (network.dropAckEvery && ackCount % network.dropAckEvery == 0) return;
        if (network.staleAcks && index > windowSize + 1u)
            toServer.push_back(TFTPAck{static_cast<std::uint16_t>((index - windowSize - 1) & 0xFFFF)});
        toServer.push_back(TFTPAck{static_cast<std::uint16_t>(index & 0xFFFF)});
        if (network.repeatAckEvery && ackCount % network.repeatAckEvery == 0)
            toServer.push_back(TFTPAck{static_cast<std::uint16_t>(index & 0xFFFF)});
    };

    take(transfer.start());
    for (std::uint64_t rounds = 0; rounds < 50'000'000 && transfer.outcome() == TFTPOutcome::running; ++rounds) {
        if (!toServer.empty()) {
            auto packet = std::move(toServer.front());
            toServer.pop_front();
            take(transfer.onPacket(packet));
        } else if (!toClient.empty()) {
            auto send = std::move(toClient.front());
            toClient.pop_front();
            const auto* block = std::get_if<TFTPDataBlock>(&send);
            if (!block) {  // the OACK
                acknowledge(0);
                continue;
            }
            if (block->block != (expected & 0xFFFF)) {  // a gap or a repeat: say where we are
                inWindow = 0;
                acknowledge(expected - 1);
                continue;
            }
            if (block->offset != run.bytesReceived || block->length > blockSize) run.inOrder = false;
            run.bytesReceived += block->length;
            bool last = block->length < blockSize;
            if (last || ++inWindow == windowSize) {
                inWindow = 0;
                acknowledge(expected);
            }
            ++expected;
        } else {
            ++run.timeouts;
            take(transfer.onTimeout());
        }
    }
    run.outcome = transfer.outcome();
    run.bytesAcknowledged = transfer.bytesAcknowledged();
    return run;
}

TEST(TFTPTransfer, deliversWholeFilesThroughLossRepeatsAndRollover) {
    struct Case {
        std::string name;
        std::uint64_t fileSize;
        std::uint16_t blockSize;
        std::uint16_t windowSize;
        bool optionAck;
        Network network;
        std::uint64_t mostDataSent;  // catches a sender that answers repeats with more repeats
    };
    const std::uint64_t rollover = 33ull * 1024 * 1024;  // 67584 blocks of 512, then an empty one
    const std::vector<Case> cases{
        {"window 1, clean", 100'000, 512, 1, false, {}, 196},
        {"window 1, every 7th block lost", 100'000, 512, 1, true, {7}, 240},
        {"window 1, every 5th ACK lost", 100'000, 512, 1, false, {0, 5}, 250},
        {"window 1, ACKs repeated and stale", 100'000, 512, 1, false, {0, 0, 2, true}, 196},
        {"window 16, clean", 1'000'000, 1468, 16, true, {}, 682},
        {"window 16, every 10th block lost", 1'000'000, 1468, 16, true, {10}, 4000},
        {"window 16, every 3rd ACK lost, repeats, stale", 1'000'000, 1468, 16, true, {0, 3, 2, true}, 1400},
        {"window 16, exact multiple", 16 * 1468 * 3, 1468, 16, false, {13, 4}, 400},
        {"window 64, tiny blocks", 5000, 8, 64, true, {17, 0, 3, true}, 12000},
        {"rollover, window 64, tiny blocks", 600'000, 8, 64, true, {}, 75001},
        {"rollover, window 1", rollover, 512, 1, false, {0, 0, 0, true}, 67585},
        {"rollover, window 16, losses", rollover, 512, 16, true, {1000, 333, 7, true}, 80000},
        {"rollover, window 16, a block lost now and then", rollover, 512, 16, true, {1000}, 69000},
        {"rollover, window 16, an ACK lost now and then", rollover, 512, 16, true, {0, 333}, 68000},
        {"rollover, window 16, ACKs repeated", rollover, 512, 16, true, {0, 0, 7}, 67585},
    };
    for (const auto& c : cases) {
        auto run = simulate(c.fileSize, negotiated(c.blockSize, c.windowSize, c.optionAck), c.network);
        EXPECT_EQ(run.outcome, TFTPOutcome::finished) << c.name;
        EXPECT_EQ(run.bytesReceived, c.fileSize) << c.name;
        EXPECT_TRUE(run.inOrder) << c.name;
        EXPECT_EQ(run.bytesAcknowledged, c.fileSize) << c.name;
        EXPECT_LE(run.dataSent, c.mostDataSent) << c.name;
    }
}

}  // namespace
}  // namespace anvil
