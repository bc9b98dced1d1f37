#include "core/run/tftp_on_card.hpp"

#include "core/addressing/plain_text.hpp"
#include "core/host/tftp_sockets.hpp"

#include <utility>

namespace anvil {

namespace {

using ListenerSockets = HeldSockets<TFTPListener>;

}  // namespace

TFTPOnCard::TFTPOnCard(asio::io_context& loop, TFTPService::Place place, bool cardMode,
                       std::optional<BootConfig> boot, TFTPService::Callbacks callbacks, TFTPService::Seams files)
    : loop_(loop), place_(std::move(place)), cardMode_(cardMode), boot_(std::move(boot)),
      callbacks_(std::move(callbacks)), files_(std::move(files)) {}

// Boot files are served on the card DHCP serves, or on the loopback test port.
void TFTPOnCard::start(const std::string& card) {
    if (cardMode_) place_.card = card;
    running_ = true;
    if (boot_) make(*boot_);
}

void TFTPOnCard::make(const BootConfig& boot) {
    tftp_ = std::make_unique<TFTPService>(loop_, place_, boot, callbacks_, files_);
    try {
        tftp_->start();
    } catch (...) {
        tftp_.reset();
        throw;
    }
}

void TFTPOnCard::stop() {
    running_ = false;
    tftp_.reset();
    recoveryServing_ = false;
}

void TFTPOnCard::cardGone() {
    if (tftp_) tftp_->pause();
}

// Whenever it has something to serve and no port: the card came back, the helper let go of the port,
// or recovery serving began.
bool TFTPOnCard::wantsSockets(bool) const { return running_ && cardMode_ && tftp_ && !tftp_->isRunning(); }

CardService::Opener TFTPOnCard::opener() const {
    return [open = callbacks_.openListener](const std::string& card) {
        auto opened = open ? open(card) : openTFTPListener(card);
        Opening opening;
        if (auto* failure = std::get_if<SocketFailure>(&opened)) {
            opening.failure = "cannot open TFTP port 69 on " + card + ": " + failure->description();
            return opening;
        }
        opening.sockets = std::make_unique<ListenerSockets>(std::get<TFTPListener>(opened), closeTFTPListener);
        return opening;
    };
}

bool TFTPOnCard::cardBack(const std::string& card, Opening opening) {
    auto* sockets = dynamic_cast<ListenerSockets*>(opening.sockets.get());
    if (!running_ || !tftp_ || tftp_->isRunning()) return sockets != nullptr;
    place_.card = card;
    std::string failure = opening.failure;
    if (sockets) {
        try {
            tftp_->resume(card, sockets->take());
            lastFailure_.clear();
            return true;
        } catch (const TFTPStartError& error) {
            failure = error.what();
        }
    }
    auto line = std::string(recoveryServing_ ? "cannot serve the recovery loader: " : "boot files not served: ") +
                failure;
    if (line != std::exchange(lastFailure_, line)) callbacks_.emit(ServerEvent::info(line));
    return false;
}

// On a card the port is opened by the run, off the loop, as after an unplug: the helper may take
// seconds to answer.
void TFTPOnCard::startRecoveryServing() {
    if (!running_) return;
    if (cardMode_) {
        if (!tftp_) {
            tftp_ = std::make_unique<TFTPService>(loop_, place_, BootConfig{}, callbacks_, files_);
            recoveryServing_ = true;
        }
        return;
    }
    if (tftp_) return;
    try {
        make(BootConfig{});
        recoveryServing_ = true;
    } catch (const TFTPStartError& error) {
        callbacks_.emit(ServerEvent::info(std::string("cannot serve the recovery loader: ") + error.what()));
    }
}

void TFTPOnCard::serveFileAs(const std::string& name, const std::filesystem::path& source) {
    startRecoveryServing();
    if (tftp_ && !tftp_->serveFileAs(name, source))
        callbacks_.emit(
            ServerEvent::info("cannot serve " + plainText(name) + ": the name is refused or too many files are given"));
}

void TFTPOnCard::stopRecoveryServing() {
    if (!tftp_) return;
    tftp_->forgetGivenFiles();
    if (recoveryServing_) {
        tftp_.reset();
        recoveryServing_ = false;
    }
}

}  // namespace anvil
