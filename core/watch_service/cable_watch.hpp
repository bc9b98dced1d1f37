#pragma once
// The watch of a bench card's cable on a server's loop: reads the frames the card receives, keeps
// the book of neighbours, and reports each device seen, changed or gone, and the advice for a
// device that does not ask for an address, as events and notices.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/addressing/maker_registry.hpp"
#include "core/addressing/subnet.hpp"
#include "core/watch/neighbour.hpp"
#include "core/watch/neighbour_advice.hpp"
#include "core/events/notice.hpp"
#include "core/events/server_event.hpp"
#include "core/host/frame_watch.hpp"

namespace asio {
class io_context;
}

namespace anvil {

class CableWatch {
public:
    struct Callbacks {
        std::function<void(ServerEvent)> emit;
        std::function<void(Notice)> raise;
        std::function<void(NoticeKind)> clear;
        // The subnet served (none when only watching) and what this computer uses off the bench card
        // (BenchFacts::read); read afresh at most once a second. The claims are the watch's own.
        std::function<CableFacts()> facts;
        MakerLookup maker;
        // The system clock when null.
        std::function<Date()> clock;
        // The card's own hardware address, whose frames are never a neighbour; read from the host when null.
        std::function<std::optional<MACAddress>()> ownMAC;
    };
    struct Seams {
        // openFrameWatch when null.
        std::function<std::variant<FrameWatch, PrivilegeHelper::Failure>(const std::string& card)> open;
        // How often quiet devices are looked for.
        double expireEverySeconds = 10;
        // Changed devices are reviewed for advice at most this often, so a chatty cable costs the
        // loop a bounded amount each second.
        double reviewEverySeconds = 0.25;
        // Frames read each second at most; the kernel's queue drops the rest.
        std::uint32_t framesPerSecond = 2048;
    };

    CableWatch(asio::io_context& loop, std::string card, Callbacks callbacks);
    CableWatch(asio::io_context& loop, std::string card, Callbacks callbacks, Seams seams);
    // Neighbour lines let out each second; the rest are summed up in one info line.
    static constexpr std::uint32_t linesPerSecond = 20;
    // Changed devices reviewed at once; the rest wait for the next review.
    static constexpr std::size_t reviewBatch = 64;
    // On the loop's thread; stops.
    ~CableWatch();
    CableWatch(const CableWatch&) = delete;
    CableWatch& operator=(const CableWatch&) = delete;

    using Opened = std::variant<FrameWatch, PrivilegeHelper::Failure>;

    // On the loop's thread. Without the right to watch, says so once (an `info` event) and stays off;
    // returns whether watching began.
    bool start();
    void stop();
    // Watches the card under its (possibly new) name with a watch opened elsewhere (opening may
    // take seconds); says nothing when `opened` failed, and returns whether watching began.
    bool resume(std::string card, Opened opened);
    // It watched once and does no longer: the watch ended, or it was stopped for a card that left.
    bool hasEnded() const;
    // On the loop's thread: the server's word on a device's lease (none when only watching).
    void leaseChanged(const MACAddress& mac, bool holdsLease);
    std::vector<Neighbour> neighbours() const;
    bool isWatching() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace anvil
