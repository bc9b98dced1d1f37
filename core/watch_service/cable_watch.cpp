#include "core/watch_service/cable_watch.hpp"

#include <asio.hpp>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/addressing/system_clock.hpp"
#include "core/watch/neighbour_advice.hpp"
#include "core/watch/neighbour_book.hpp"
#include "core/watch/watched_frame.hpp"
#include "core/events/line_cap.hpp"
#include "core/host/interfaces.hpp"

namespace anvil {

namespace {

// Frames read per wake-up, so a chatty cable cannot hold the loop.
constexpr int readLimit = 64;
// How long what the host uses off the bench is trusted before it is read again.
constexpr auto hostFactsLifetime = std::chrono::seconds(1);
// Devices whose remembered advice is checked afresh before one takes over a notice.
constexpr int takeOverAttempts = 4;

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
    struct Advised {
        NeighbourAdvice advice;
        Date firstSeen;
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
    std::chrono::seconds budgetSecond{-1};
    std::uint32_t framesThisSecond = 0;
    asio::steady_timer resumeTimer;
    LineCap lineCap{CableWatch::linesPerSecond};
    std::unordered_set<MACAddress> unshown;
    asio::steady_timer summaryTimer;
    bool summaryArmed = false;
    std::deque<MACAddress> dirty;
    std::unordered_set<MACAddress> dirtySet;
    asio::steady_timer reviewTimer;
    bool reviewArmed = false;
    std::chrono::steady_clock::time_point lastReview{};
    std::optional<CableFacts> hostFacts;
    std::chrono::steady_clock::time_point hostFactsRead{};
    std::unordered_map<MACAddress, Advised> advised;
    // Devices holding a lease, as the server told; never asked back.
    std::unordered_set<MACAddress> leaseHolders;

    State(asio::io_context& loop, std::string card, Callbacks callbacks, Seams seams)
        : loop(loop), card(std::move(card)), callbacks(std::move(callbacks)), seams(std::move(seams)), expireTimer(loop), resumeTimer(loop), summaryTimer(loop), reviewTimer(loop) {
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
        reviewTimer.cancel();
        summaryTimer.cancel();
        resumeTimer.cancel();
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
            if (!withinFrameBudget()) return;
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

    // Whether one more frame may be read this second; past the budget reading waits for the next
    // second and the kernel's queue drops what does not fit.
    bool withinFrameBudget() {
        auto now = std::chrono::steady_clock::now();
        auto second = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
        if (second != budgetSecond) {
            budgetSecond = second;
            framesThisSecond = 0;
        }
        if (framesThisSecond < seams.framesPerSecond) {
            ++framesThisSecond;
            return true;
        }
        auto self = shared_from_this();
        auto expected = generation;
        resumeTimer.expires_at(std::chrono::steady_clock::time_point(second + std::chrono::seconds(1)));
        resumeTimer.async_wait([self, expected](const asio::error_code& error) {
            if (error || !self->watching || self->generation != expected) return;
            self->waitForFrames();
        });
        return false;
    }

    void handle(std::span<const std::uint8_t> bytes) {
        auto parsed = parseWatchedFrame(bytes);
        // A hostile device must not flood the log: a frame we cannot read is only counted.
        if (std::holds_alternative<FrameParseError>(parsed)) {
            ++unreadFrames;
            return;
        }
        NeighbourContext context{ownMAC, [this](const MACAddress& mac) { return leaseHolders.contains(mac); },
                                 callbacks.maker};
        auto update = book.observe(std::get<WatchedFrame>(parsed), callbacks.clock(), context);
        if (update) report(*update);
    }

    void report(const NeighbourUpdate& update) {
        const auto& mac = update.neighbour.mac;
        auto second = static_cast<std::int64_t>(std::floor(callbacks.clock().secondsSince1970));
        sumUpHeldBack(second);
        if (lineCap.admit(second) || update.change == NeighbourChange::gone) {
            // A device that goes is always told, so no front end keeps one the watch forgot.
            emit(ServerEvent::neighbour(update.change, update.neighbour));
            unshown.erase(mac);
        } else {
            holdBack(mac);
        }
        changedDevice(mac);
    }

    // Its newest state was not told; told before a notice names it, so front ends know it.
    void holdBack(const MACAddress& mac) {
        unshown.insert(mac);
        // Devices the full book forgot without a word stay in the set: dropped in one sweep now and then.
        if (unshown.size() > 2 * NeighbourBook::capacity)
            std::erase_if(unshown, [&](const MACAddress& held) { return book.find(held) == nullptr; });
        if (summaryArmed) return;
        summaryArmed = true;
        auto self = shared_from_this();
        auto expected = generation;
        summaryTimer.expires_after(std::chrono::milliseconds(1100));
        summaryTimer.async_wait([self, expected](const asio::error_code& error) {
            self->summaryArmed = false;
            if (error || !self->watching || self->generation != expected) return;
            self->sumUpHeldBack(static_cast<std::int64_t>(std::floor(self->callbacks.clock().secondsSince1970)));
        });
    }

    void sumUpHeldBack(std::int64_t second) {
        if (auto held = lineCap.takeHeldBack(second))
            emit(ServerEvent::info(heldBackSentence(*held, "devices on the cable of " + card)));
    }

    // The advice is reviewed for the devices that changed, not for every device on the cable.
    void changedDevice(const MACAddress& mac) {
        if (dirtySet.insert(mac).second) dirty.push_back(mac);
        scheduleReview();
    }

    void scheduleReview() {
        if (reviewArmed) return;
        auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seams.reviewEverySeconds));
        auto since = std::chrono::steady_clock::now() - lastReview;
        if (since >= interval) {
            reviewAdvice();
            return;
        }
        reviewArmed = true;
        auto self = shared_from_this();
        auto expected = generation;
        reviewTimer.expires_after(interval - since);
        reviewTimer.async_wait([self, expected](const asio::error_code& error) {
            self->reviewArmed = false;
            if (error || !self->watching || self->generation != expected) return;
            self->reviewAdvice();
        });
    }

    CableFacts facts() {
        auto now = std::chrono::steady_clock::now();
        if (!hostFacts || now - hostFactsRead >= hostFactsLifetime) {
            hostFacts = callbacks.facts ? callbacks.facts() : CableFacts{};
            hostFactsRead = now;
        }
        return cableFacts(*hostFacts, book.neighbours());
    }

    // The device's advice afresh, remembered for a later take-over; none when it has none.
    const Advised* advise(const MACAddress& mac, const CableFacts& cable) {
        const Neighbour* neighbour = book.find(mac);
        auto advice = neighbour ? adviceFor(*neighbour, cable) : std::nullopt;
        if (!advice) {
            advised.erase(mac);
            return nullptr;
        }
        auto& kept = advised[mac];
        kept = Advised{*advice, neighbour->firstSeen};
        return &kept;
    }

    // One notice per kind: the device it names keeps it while it warrants it, else the first seen that does.
    void reviewAdvice() {
        lastReview = std::chrono::steady_clock::now();
        auto cable = facts();
        for (std::size_t count = 0; count < reviewBatch && !dirty.empty(); ++count) {
            auto mac = dirty.front();
            dirty.pop_front();
            dirtySet.erase(mac);
            advise(mac, cable);
        }
        for (auto kind : {NoticeKind::recoveryLoader, NoticeKind::deviceNotAsking}) settle(kind, cable);
        if (!dirty.empty()) scheduleReview();
    }

    void settle(NoticeKind kind, const CableFacts& cable) {
        auto held = raised.find(kind);
        if (held != raised.end()) {
            auto mac = held->second.mac;
            if (const auto* now = advise(mac, cable); now && noticeKindOf(now->advice.kind) == kind) {
                if (!(now->advice == held->second.advice)) raise(kind, mac, now->advice);
                return;
            }
        }
        // Remembered advice may be stale (another device took the address since): checked before use.
        for (int attempt = 0; attempt < takeOverAttempts; ++attempt) {
            const MACAddress* first = nullptr;
            Date firstSeen;
            for (const auto& [mac, kept] : advised)
                if (noticeKindOf(kept.advice.kind) == kind && (!first || kept.firstSeen < firstSeen)) {
                    first = &mac;
                    firstSeen = kept.firstSeen;
                }
            if (!first) break;
            auto mac = *first;
            if (const auto* now = advise(mac, cable); now && noticeKindOf(now->advice.kind) == kind) {
                raise(kind, mac, now->advice);
                return;
            }
        }
        held = raised.find(kind);
        if (held != raised.end()) {
            raised.erase(held);
            if (callbacks.clear) callbacks.clear(kind);
        }
    }

    void raise(NoticeKind kind, const MACAddress& mac, const NeighbourAdvice& advice) {
        const Neighbour* neighbour = book.find(mac);
        if (!neighbour) return;
        if (unshown.erase(mac)) emit(ServerEvent::neighbour(NeighbourChange::changed, *neighbour));
        raised[kind] = Raised{mac, advice};
        if (callbacks.raise) callbacks.raise(Notice::neighbourAdvice(advice, *neighbour));
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
        for (const auto& update : gone) report(update);
    }

    void leaseChanged(const MACAddress& mac, bool holds) {
        if (holds)
            leaseHolders.insert(mac);
        else
            leaseHolders.erase(mac);
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
