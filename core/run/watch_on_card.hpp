#pragma once
// The watch of the card's cable as one service of the run: it learns who holds a lease from the
// run, comes back with the link, and in a run that only watches, is the run.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/run/card_service.hpp"
#include "core/watch_service/cable_watch.hpp"

namespace anvil {

// The watch could not begin in a run that only watches; the message is a whole sentence.
struct WatchStartError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class WatchOnCard final : public CardService {
public:
    struct Options {
        CableWatch::Callbacks callbacks;
        CableWatch::Seams seams;
        // The run only watches: a watch that cannot start is the run's failure, not a line.
        bool required = false;
    };
    WatchOnCard(asio::io_context& loop, Options options);

    void start(const std::string& card) override;
    void begin(bool linkUp) override;
    void stop() override;
    void cardGone() override;
    void linkChanged(bool) override {}
    bool wantsSockets(bool linkUp) const override;
    Opener opener() const override;
    bool cardBack(const std::string& card, Opening opening) override;

    void leaseChanged(const MACAddress& mac, bool holdsLease);
    std::vector<Neighbour> neighbours() const;

private:
    bool startWatch();

    asio::io_context& loop_;
    Options options_;
    std::string card_;
    std::unique_ptr<CableWatch> watch_;
    // Said once per outage; tried again each second while the link is up.
    bool returnFailed_ = false;
    bool starting_ = false;
    std::string startFailure_;
};

}  // namespace anvil
