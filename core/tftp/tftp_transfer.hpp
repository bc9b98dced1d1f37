#pragma once
// The sending side of one TFTP read transfer as a state machine: packets and timeouts in, what to
// send and whether to rearm the timer out. The runtime owns the socket, the file and the timer.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/addressing/bytes.hpp"
#include "core/tftp/tftp_limits.hpp"
#include "core/tftp/tftp_options.hpp"
#include "core/tftp/tftp_packet.hpp"

namespace anvil {

// One DATA packet to send: the runtime reads `length` bytes of the file at `offset` and sends them
// under `block` (encodeTFTPData). The last block is shorter than the block size, possibly empty.
struct TFTPDataBlock {
    std::uint16_t block = 0;  // as on the wire: block 65536 of a transfer is 0 again
    std::uint64_t offset = 0;
    std::size_t length = 0;
    friend bool operator==(const TFTPDataBlock&, const TFTPDataBlock&) = default;
};

// Ready bytes (an OACK or an ERROR) or a block of the file.
using TFTPSend = std::variant<Bytes, TFTPDataBlock>;

enum class TFTPOutcome { running, finished, failed };

struct TFTPFailure {
    enum class Kind {
        timedOut,       // tries ran out without the client acknowledging anything new
        clientError,    // the client sent ERROR: code and message as sent
        protocolError,  // the client sent a packet that is not ACK or ERROR
    };
    Kind kind = Kind::timedOut;
    std::uint16_t code = 0;
    std::string message;

    // The reason for the user; the client's message is made plain first.
    std::string description() const;
    friend bool operator==(const TFTPFailure&, const TFTPFailure&) = default;
};

struct TFTPStep {
    // In order; the runtime sends each from the transfer's own port to the client.
    std::vector<TFTPSend> sends;
    // True only when this call sent something new or retransmitted: duplicate and stale ACKs do not
    // keep a dead transfer alive.
    bool restartTimer = false;
    TFTPOutcome outcome = TFTPOutcome::running;
    std::optional<TFTPFailure> failure;  // when outcome is failed
};

// Once finished or failed, every call returns an empty step with that outcome.
class TFTPTransfer {
public:
    TFTPTransfer(std::uint64_t fileSize, const TFTPNegotiation& negotiation, unsigned tries = tftpTriesPerPacket);

    // The OACK when options were accepted, else the first window of data.
    TFTPStep start();
    // An ACK inside the window slides it and sends the blocks that fill it again; the second repeat
    // of an ACK (windowsize > 1) resends the unacknowledged blocks once; stale ACKs, ACKs of blocks
    // not yet sent and ACKs other than 0 before data starts are ignored. ERROR ends the transfer
    // (clientError); any other packet fails it with protocolError and an ERROR 4 to send.
    TFTPStep onPacket(const TFTPPacket& packet);
    // The timer ran out: retransmit what is unacknowledged, or fail timedOut after `tries` sends
    // (before the client acknowledged anything, after tftpTriesBeforeFirstAck of the timeout).
    TFTPStep onTimeout();
    // The client acknowledged the OACK or a block: it is there, not a made-up source.
    bool wasAcknowledged() const { return wasAcknowledged_; }

    TFTPOutcome outcome() const { return outcome_; }
    std::uint64_t fileSize() const { return fileSize_; }
    std::uint64_t bytesAcknowledged() const;
    const TFTPTransferOptions& options() const { return options_; }

private:
    enum class Phase { notStarted, awaitingOptionAck, sending, over };

    TFTPStep sendWindow(std::uint64_t from, std::uint64_t to, bool retransmission);
    TFTPStep fail(TFTPFailure failure, std::optional<Bytes> errorToSend);
    TFTPStep current() const;
    TFTPStep onAck(std::uint16_t wireBlock);
    TFTPDataBlock blockAt(std::uint64_t index) const;

    std::uint64_t fileSize_;
    TFTPTransferOptions options_;
    std::optional<TFTPOptions> optionAck_;
    unsigned tries_;
    unsigned triesBeforeFirstAck_ = 1;
    bool wasAcknowledged_ = false;
    std::uint64_t blockCount_;  // always ends with a short (maybe empty) block
    Phase phase_ = Phase::notStarted;
    TFTPOutcome outcome_ = TFTPOutcome::running;
    std::optional<TFTPFailure> failure_;
    std::uint64_t acknowledged_ = 0;  // blocks 1..acknowledged_ are the client's
    std::uint64_t sentUpTo_ = 0;      // highest block sent so far
    unsigned timeouts_ = 0;           // since the last progress
    unsigned repeatsOfAcknowledged_ = 0;
    std::uint64_t resentUpTo_ = 0;    // highest block sent more than once
};

}  // namespace anvil
