#pragma once
// One service on a card (DHCP, TFTP, the watch of the cable) as the run on the card sees it: it
// starts and stops with the run, closes its sockets when the card leaves, and is handed sockets
// opened again off the run's loop when the card comes back.
#include <functional>
#include <memory>
#include <string>

namespace anvil {

class CardService {
public:
    // Sockets a service opened on the card, on their way to it; closed when dropped untaken.
    struct Sockets {
        virtual ~Sockets() = default;
    };
    // An opening: the sockets, or why there are none (a whole clause for a line).
    struct Opening {
        std::unique_ptr<Sockets> sockets;
        std::string failure;
    };
    // Runs on the run's reopening thread: it must not touch the service.
    using Opener = std::function<Opening(const std::string& card)>;

    virtual ~CardService() = default;

    // On the run's loop, like everything below. Opens what the service needs on `card`; throws
    // what keeps the run from starting.
    virtual void start(const std::string& card) = 0;
    // Once every service started.
    virtual void begin(bool linkUp) = 0;
    virtual void stop() = 0;

    // The card left: its sockets are closed.
    virtual void cardGone() = 0;
    virtual void linkChanged(bool up) = 0;
    // Its sockets on the card must be opened again (the card came back, a socket ended).
    virtual bool wantsSockets(bool linkUp) const = 0;
    virtual Opener opener() const = 0;
    // The card is back under `card` (maybe a new name) with the opener's result; false when the
    // service is still without its sockets.
    virtual bool cardBack(const std::string& card, Opening opening) = 0;
};

// Sockets of one type, handed over whole.
template <typename Value>
struct HeldSockets final : CardService::Sockets {
    Value value;
    std::function<void(Value&)> close;
    bool taken = false;

    HeldSockets(Value value, std::function<void(Value&)> close) : value(std::move(value)), close(std::move(close)) {}
    ~HeldSockets() override {
        if (!taken && close) close(value);
    }
    Value take() {
        taken = true;
        return std::move(value);
    }
};

}  // namespace anvil
