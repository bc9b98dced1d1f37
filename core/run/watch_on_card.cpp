#include "core/run/watch_on_card.hpp"

#include <cstring>
#include <utility>

#include "core/host/frame_watch.hpp"

namespace anvil {

namespace {

using WatchSockets = HeldSockets<FrameWatch>;

}  // namespace

WatchOnCard::WatchOnCard(asio::io_context& loop, Options options) : loop_(loop), options_(std::move(options)) {
    if (!options_.seams.open) options_.seams.open = [](const std::string& card) { return openFrameWatch(card); };
    // Until a required watch began, what it would say of its failure is the run's error.
    options_.callbacks.emit = [this, emit = std::move(options_.callbacks.emit)](ServerEvent event) {
        if (!starting_) return emit(std::move(event));
        if (auto info = event.as<ServerEvent::Info>()) startFailure_ = info->text;
    };
}

void WatchOnCard::start(const std::string& card) {
    card_ = card;
    if (!options_.required) return;
    starting_ = true;
    bool began = startWatch();
    starting_ = false;
    if (!began) {
        watch_.reset();
        throw WatchStartError(startFailure_.empty() ? "The cable of " + card + " cannot be watched." : startFailure_);
    }
}

// When serving, the watch begins after DHCP: without the right to watch it says so and serving goes on.
void WatchOnCard::begin(bool) {
    if (!options_.required) startWatch();
}

bool WatchOnCard::startWatch() {
    watch_ = std::make_unique<CableWatch>(loop_, card_, options_.callbacks, options_.seams);
    return watch_->start();
}

void WatchOnCard::stop() { watch_.reset(); }

void WatchOnCard::cardGone() {
    if (watch_) watch_->stop();
}

// The watch ends when the card goes down (its socket reads ENETDOWN) or leaves; it comes back
// with the link.
bool WatchOnCard::wantsSockets(bool linkUp) const { return linkUp && watch_ && watch_->hasEnded(); }

CardService::Opener WatchOnCard::opener() const {
    return [open = options_.seams.open](const std::string& card) {
        auto opened = open(card);
        Opening opening;
        if (auto* failure = std::get_if<PrivilegeHelper::Failure>(&opened)) {
            opening.failure = failure->operation + (failure->code ? ": " + std::string(std::strerror(failure->code)) : "");
            return opening;
        }
        opening.sockets = std::make_unique<WatchSockets>(std::get<FrameWatch>(opened), closeFrameWatch);
        return opening;
    };
}

bool WatchOnCard::cardBack(const std::string& card, Opening opening) {
    auto* sockets = dynamic_cast<WatchSockets*>(opening.sockets.get());
    if (!watch_ || !watch_->hasEnded()) return sockets != nullptr;
    card_ = card;
    if (!sockets) {
        if (!std::exchange(returnFailed_, true))
            options_.callbacks.emit(ServerEvent::info("Watching the cable of " + card + " could not start again (" +
                                                      opening.failure +
                                                      "); it is tried again each second while the link is up."));
        return false;
    }
    returnFailed_ = false;
    if (!watch_->resume(card, sockets->take())) return false;
    options_.callbacks.emit(ServerEvent::info("Watching the cable of " + card + " again."));
    return true;
}

void WatchOnCard::leaseChanged(const MACAddress& mac, bool holdsLease) {
    if (watch_) watch_->leaseChanged(mac, holdsLease);
}

std::vector<Neighbour> WatchOnCard::neighbours() const {
    return watch_ ? watch_->neighbours() : std::vector<Neighbour>{};
}

}  // namespace anvil
