#include "core/tftp/tftp_transfer.hpp"

#include <algorithm>

#include "core/addressing/plain_text.hpp"
#include "core/tftp/tftp_texts.hpp"

namespace anvil {

namespace {
constexpr unsigned lossSignalRepeats = 2;
}  // namespace

std::string TFTPFailure::description() const {
    switch (kind) {
        case Kind::timedOut: return std::string(TFTPText::transferTimedOut);
        case Kind::clientError: return TFTPText::clientError(code, plainText(message));
        case Kind::protocolError: return std::string(TFTPText::protocolError);
    }
    return std::string(TFTPText::protocolError);
}

TFTPTransfer::TFTPTransfer(std::uint64_t fileSize, const TFTPNegotiation& negotiation, unsigned tries)
    : fileSize_(fileSize),
      options_(negotiation.options),
      tries_(std::max(tries, 1u)) {
    options_.blockSize = std::clamp(options_.blockSize, smallestTFTPBlockSize, largestTFTPBlockSize);
    options_.windowSize = std::clamp(options_.windowSize, std::uint16_t{1}, tftpWindowSizeCeiling);
    if (options_.timeoutSeconds)
        options_.timeoutSeconds = std::clamp<std::uint8_t>(*options_.timeoutSeconds, 1, largestTFTPTimeoutSeconds);
    triesBeforeFirstAck_ = std::min(tries_, tftpTriesBeforeFirstAck(options_.timeoutOrDefault()));
    if (negotiation.sendsOptionAck()) optionAck_ = negotiation.acknowledged;
    blockCount_ = fileSize_ / options_.blockSize + 1;
}

std::uint64_t TFTPTransfer::bytesAcknowledged() const {
    if (acknowledged_ >= blockCount_) return fileSize_;
    return acknowledged_ * options_.blockSize;
}

TFTPDataBlock TFTPTransfer::blockAt(std::uint64_t index) const {
    auto offset = (index - 1) * options_.blockSize;
    auto length = std::min<std::uint64_t>(options_.blockSize, fileSize_ - offset);
    return {static_cast<std::uint16_t>(index & 0xFFFF), offset, static_cast<std::size_t>(length)};
}

TFTPStep TFTPTransfer::current() const {
    TFTPStep step;
    step.outcome = outcome_;
    step.failure = failure_;
    return step;
}

TFTPStep TFTPTransfer::sendWindow(std::uint64_t from, std::uint64_t to, bool retransmission) {
    TFTPStep step;
    for (auto index = from; index <= to; ++index) step.sends.push_back(blockAt(index));
    sentUpTo_ = std::max(sentUpTo_, to);
    if (!retransmission) timeouts_ = 0;
    if (retransmission) resentUpTo_ = std::max(resentUpTo_, to);
    step.restartTimer = true;
    return step;
}

TFTPStep TFTPTransfer::fail(TFTPFailure failure, std::optional<Bytes> errorToSend) {
    phase_ = Phase::over;
    outcome_ = TFTPOutcome::failed;
    failure_ = std::move(failure);
    auto step = current();
    if (errorToSend) step.sends.push_back(std::move(*errorToSend));
    return step;
}

TFTPStep TFTPTransfer::start() {
    if (phase_ != Phase::notStarted) return current();
    if (optionAck_) {
        phase_ = Phase::awaitingOptionAck;
        TFTPStep step;
        step.sends.push_back(encodeTFTPOptionAck(*optionAck_));
        step.restartTimer = true;
        return step;
    }
    phase_ = Phase::sending;
    return sendWindow(1, std::min<std::uint64_t>(options_.windowSize, blockCount_), false);
}

TFTPStep TFTPTransfer::onAck(std::uint16_t wireBlock) {
    if (phase_ == Phase::awaitingOptionAck) {
        // RFC 2347: ACK 0 accepts the OACK; anything else is not for us yet.
        if (wireBlock != 0) return current();
        phase_ = Phase::sending;
        wasAcknowledged_ = true;
        return sendWindow(1, std::min<std::uint64_t>(options_.windowSize, blockCount_), false);
    }
    // The sent block whose wire number this is; the window is far shorter than 65536 blocks, so
    // at most one sent block matches, and one before acknowledged_ is stale.
    auto back = static_cast<std::uint16_t>(static_cast<std::uint16_t>(sentUpTo_ & 0xFFFF) - wireBlock);
    if (back >= sentUpTo_) return current();
    auto index = sentUpTo_ - back;
    if (index < acknowledged_) return current();
    if (index == acknowledged_) {
        // Several repeats of an ACK while blocks are out say the next block was lost (RFC 7440):
        // send the window again, once for this point. One repeat may be the network's own
        // duplicate, repeats up to a block we sent twice are the echoes of our own resending, and
        // lock-step never resends on a repeat (the Sorcerer's Apprentice).
        if (options_.windowSize == 1 || acknowledged_ == sentUpTo_ || acknowledged_ <= resentUpTo_)
            return current();
        if (++repeatsOfAcknowledged_ != lossSignalRepeats) return current();
        return sendWindow(acknowledged_ + 1, sentUpTo_, true);
    }
    acknowledged_ = index;
    wasAcknowledged_ = true;
    repeatsOfAcknowledged_ = 0;
    if (acknowledged_ >= blockCount_) {
        phase_ = Phase::over;
        outcome_ = TFTPOutcome::finished;
        return current();
    }
    // Blocks after the acknowledged one may still be on their way; only new ones fill the window.
    timeouts_ = 0;
    auto last = std::min<std::uint64_t>(acknowledged_ + options_.windowSize, blockCount_);
    if (last <= sentUpTo_) return current();
    return sendWindow(sentUpTo_ + 1, last, false);
}

TFTPStep TFTPTransfer::onPacket(const TFTPPacket& packet) {
    if (phase_ == Phase::over || phase_ == Phase::notStarted) return current();
    if (const auto* ack = std::get_if<TFTPAck>(&packet)) return onAck(ack->block);
    if (const auto* error = std::get_if<TFTPError>(&packet))
        return fail({TFTPFailure::Kind::clientError, error->code, error->message}, std::nullopt);
    return fail({TFTPFailure::Kind::protocolError, 0, {}},
                encodeTFTPError(TFTPErrorCode::illegalOperation, TFTPText::illegalOperation));
}

TFTPStep TFTPTransfer::onTimeout() {
    if (phase_ == Phase::over || phase_ == Phase::notStarted) return current();
    ++timeouts_;
    if (timeouts_ >= (wasAcknowledged_ ? tries_ : triesBeforeFirstAck_))
        return fail({TFTPFailure::Kind::timedOut, 0, {}}, std::nullopt);
    if (phase_ == Phase::awaitingOptionAck) {
        TFTPStep step;
        step.sends.push_back(encodeTFTPOptionAck(*optionAck_));
        step.restartTimer = true;
        return step;
    }
    return sendWindow(acknowledged_ + 1, sentUpTo_, true);
}

}  // namespace anvil
