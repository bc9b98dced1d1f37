#include "core/watch_service/cable_watch.hpp"

#include <asio.hpp>
#include <chrono>
#include <cstring>
#include <map>
#include <utility>

#include "core/addressing/system_clock.hpp"
#include "core/discovery/neighbour_advice.hpp"
#include "core/discovery/neighbour_book.hpp"
#include "core/discovery/watched_frame.hpp"
#include "core/host/interfaces.hpp"

namespace anvil {

namespace {

// Frames read per wake-up, so a chatty cable cannot hold the loop.
constexpr int readLimit = 64;

NoticeKind noticeKindOf(NeighbourAdvice::Kind kind) {
    return kind == NeighbourAdvice::Kind::recoveryLoader ? NoticeKind::recoveryLoader : NoticeKind::deviceNotAsking;
}

std::string failureText(const PrivilegeHelper::Failure& failure) {
    std::string text = failure.operation;
    if (failure.code != 0) text += (text.empty() ? "" : ": ") + std::string(std::strerror(failure.code));
    return text.empty() ? "the watch could not be opened" : text;
}

std::optional<MACAddress> hostMAC(const std::string& card) {
    for (const auto& found : Interfaces::list())
        if (found.bsdName == card) return found.mac;
    return std::nullopt;
}

}  // namespace

struct CableWatch::State : std::enable_shared_from_this<CableWatch::State> {
    struct Raised {
        MACAddress mac;
        NeighbourAdvice advice;
    };

    asio::io_context& loop;
    std::string card;
    Callbacks callbacks;
    Seams seams;

    FrameWatch watch;
    std::optional<asio::posix::stream_descriptor> descriptor;
    asio::steady_timer expireTimer;
    std::uint64_t generation = 0;
    bool watching = false;
    bool watchedOnce = false;
    std::optional<MACAddress> ownMAC;
    NeighbourBook book;
    std::map<NoticeKind, Raised> raised;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(largestWatchedFrame);
    std::uint64_t unreadFrames = 0;

    State(asio::io_context& loop, std::string card, Callbacks callbacks, Seams seams)
        : loop(loop), card(std::move(card)), callbacks(std::move(callbacks)), seams(std::move(seams)), expireTimer(loop) {
        if (!this->callbacks.clock) this->callbacks.clock = systemNow;
        if (!this->seams.open) this->seams.open = [](const std::string& name) { return openFrameWatch(name); };
    }

    void emit(ServerEvent event) {
        if (callbacks.emit) callbacks.emit(std::move(event));
    }

    bool start() {
        if (watching) return true;
        auto opened = seams.open(card);
        if (auto failure = std::get_if<PrivilegeHelper::Failure>(&opened)) {
            emit(ServerEvent::info("Watching the cable of " + card + " is off: " + failureText(*failure) +
                                   ". Devices that do not ask for an address are not shown; watching needs "
                                   "dhcpanvil-helper with cap_net_raw and the user in the group dhcpanvil."));
            return false;
        }
        return adopt(std::get<FrameWatch>(opened));
    }

    bool adopt(FrameWatch opened) {
        watch = opened;
        watchedOnce = true;
        ownMAC = callbacks.ownMAC ? callbacks.ownMAC() : hostMAC(card);
        descriptor.emplace(loop, watch.fd);
        watching = true;
        ++generation;
        waitForFrames();
        scheduleExpiry();
        return true;
    }

    void stop() {
        if (!watching) return;
        watching = false;
        ++generation;
        asio::error_code ignored;
        expireTimer.cancel();
        if (descriptor) {
            descriptor->cancel(ignored);
            // closeFrameWatch owns the descriptor and waits for the relay.
            descriptor->release();
            descriptor.reset();
        }
        closeFrameWatch(watch);
        watch = {};
    }

    void waitForFrames() {
        auto self = shared_from_this();
        auto expected = generation;
        descriptor->async_wait(asio::posix::stream_descriptor::wait_read, [self, expected](const asio::error_code& error) {
            if (error || !self->watching || self->generation != expected) return;
            self->readFrames();
        });
    }

    void readFrames() {
        for (int count = 0; count < readLimit; ++count) {
            auto reception = receiveFrame(watch, buffer);
            if (std::holds_alternative<NoFrameWaiting>(reception)) break;
            if (auto ended = std::get_if<WatchEnded>(&reception)) {
                std::string why = !ended->reason.empty() ? ended->reason
                                  : ended->code == 0     ? "the watch closed"
                                                         : std::string(std::strerror(ended->code));
                stop();
                emit(ServerEvent::info("Watching the cable of " + card + " ended (" + why + ")."));
                return;
            }
            auto length = std::get<WatchedBytes>(reception).length;
            handle(std::span<const std::uint8_t>(buffer.data(), std::min(length, buffer.size())));
        }
        if (!watching) return;
        if (descriptor) {
            // Yield to the loop before reading on.
            auto self = shared_from_this();
            auto expected = generation;
            asio::post(loop, [self, expected] {
                if (self->watching && self->generation == expected) self->waitForFrames();
            });
        }
    }

    void handle(std::span<const std::uint8_t> bytes) {
        auto parsed = parseWatchedFrame(bytes);
        // A hostile device must not flood the log: a frame we cannot read is only counted.
        if (std::holds_alternative<FrameParseError>(parsed)) {
            ++unreadFrames;
            return;
        }
        NeighbourContext context{ownMAC, callbacks.holdsLease, callbacks.maker};
        auto update = book.observe(std::get<WatchedFrame>(parsed), callbacks.clock(), context);
        if (update) report(*update);
    }

    void report(const NeighbourUpdate& update) {
        emit(ServerEvent::neighbour(update.change, update.neighbour));
        reviewAdvice();
    }

    CableFacts facts() const {
        CableFacts cable;
        cable.served = callbacks.served;
        if (callbacks.cardAddresses) cable.cardAddresses = callbacks.cardAddresses();
        for (const auto& neighbour : book.neighbours())
            cable.claimed.insert(cable.claimed.end(), neighbour.claims.begin(), neighbour.claims.end());
        return cable;
    }

    // One notice per kind: the device it names keeps it while it warrants it, else the first that does.
    void reviewAdvice() {
        auto cable = facts();
        std::map<NoticeKind, std::pair<const Neighbour*, NeighbourAdvice>> wanted;
        for (const auto& neighbour : book.neighbours()) {
            auto advice = adviceFor(neighbour, cable);
            if (!advice) continue;
            auto kind = noticeKindOf(advice->kind);
            auto held = raised.find(kind);
            bool holder = held != raised.end() && held->second.mac == neighbour.mac;
            if (!wanted.count(kind) || holder) wanted[kind] = {&neighbour, *advice};
        }
        for (auto kind : {NoticeKind::recoveryLoader, NoticeKind::deviceNotAsking}) {
            auto want = wanted.find(kind);
            auto held = raised.find(kind);
            if (want == wanted.end()) {
                if (held != raised.end()) {
                    raised.erase(held);
                    if (callbacks.clear) callbacks.clear(kind);
                }
                continue;
            }
            const auto& [neighbour, advice] = want->second;
            if (held != raised.end() && held->second.mac == neighbour->mac && held->second.advice == advice) continue;
            raised[kind] = Raised{neighbour->mac, advice};
            if (callbacks.raise) callbacks.raise(Notice::neighbourAdvice(advice, *neighbour));
        }
    }

    void scheduleExpiry() {
        auto self = shared_from_this();
        auto expected = generation;
        expireTimer.expires_after(std::chrono::milliseconds(static_cast<long>(seams.expireEverySeconds * 1000)));
        expireTimer.async_wait([self, expected](const asio::error_code& error) {
            if (error || !self->watching || self->generation != expected) return;
            self->expire();
            self->scheduleExpiry();
        });
    }

    void expire() {
        auto gone = book.expire(callbacks.clock());
        for (const auto& update : gone) emit(ServerEvent::neighbour(update.change, update.neighbour));
        if (!gone.empty()) reviewAdvice();
    }

    void leaseChanged(const MACAddress& mac, bool holds) {
        if (auto update = book.leaseChanged(mac, holds)) report(*update);
    }
};

CableWatch::CableWatch(asio::io_context& loop, std::string card, Callbacks callbacks)
    : CableWatch(loop, std::move(card), std::move(callbacks), Seams{}) {}

CableWatch::CableWatch(asio::io_context& loop, std::string card, Callbacks callbacks, Seams seams)
    : state_(std::make_shared<State>(loop, std::move(card), std::move(callbacks), std::move(seams))) {}

CableWatch::~CableWatch() { state_->stop(); }

bool CableWatch::start() { return state_->start(); }
void CableWatch::stop() { state_->stop(); }

void CableWatch::restart(std::string card) {
    state_->stop();
    state_->card = std::move(card);
    state_->start();
}

bool CableWatch::resume(std::string card, Opened opened) {
    state_->stop();
    state_->card = std::move(card);
    if (auto* watch = std::get_if<FrameWatch>(&opened)) return state_->adopt(*watch);
    return false;
}

bool CableWatch::hasEnded() const { return state_->watchedOnce && !state_->watching; }

void CableWatch::leaseChanged(const MACAddress& mac, bool holdsLease) { state_->leaseChanged(mac, holdsLease); }
std::vector<Neighbour> CableWatch::neighbours() const { return state_->book.neighbours(); }
bool CableWatch::isWatching() const { return state_->watching; }

}  // namespace anvil
