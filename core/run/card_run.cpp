#include "core/run/card_run.hpp"

#include <asio.hpp>
#include <unordered_set>

#include "core/events/serial_queue.hpp"
#include "core/events/serial_queue_state.hpp"
#include "core/run/card_reopener.hpp"
#include "core/run/dhcp_on_card.hpp"
#include "core/run/notice_board.hpp"
#include "core/run/tftp_on_card.hpp"
#include "core/run/watch_on_card.hpp"
#include "core/dhcp_service/repeating_timer.hpp"
#include "core/watch_service/bench_facts.hpp"

namespace anvil {

CardRun::Options CardRun::Options::watchOnly(std::string card, std::optional<MACAddress> cardMAC, MakerLookup maker) {
    Options options;
    options.mode = TransportMode::interface(std::move(card));
    options.cardMAC = cardMAC;
    options.presenceEnabled = false;
    options.maker = std::move(maker);
    options.servesDHCP = false;
    return options;
}

struct CardRun::Loop {
    SerialQueue queue{"dhcpanvil.server"};
};

struct CardRun::State : std::enable_shared_from_this<CardRun::State> {
    Options options;
    ServerHost host;
    ServerTimers timers;
    asio::io_context& context;
    NoticeBoard board;

    std::string interfaceName;
    // The card's kernel index while it is there: another index is another card under its name.
    std::uint32_t cardIndex = 0;
    bool linkUp = true;
    bool running = false;
    // The card left: only the lead service (the first) is opened again until it is back.
    bool cardAway = false;
    // The lead service lost its sockets with the card still there (the helper let go of it).
    bool leadLost = false;
    // This computer's own addresses and who may ask for boot files, read each second rather
    // than per datagram: the served subnet and the card's networks.
    std::unordered_set<IPv4Address> ownAddresses;
    TFTPSourceFacts tftpSources;

    // The lead first: DHCP when serving, else the watch.
    std::vector<std::unique_ptr<CardService>> services;
    DHCPOnCard* dhcp = nullptr;
    TFTPOnCard* tftp = nullptr;
    WatchOnCard* watch = nullptr;
    std::optional<RepeatingTimer> cardTimer;
    // Openings take turns, so a service whose opening keeps failing does not starve the others.
    std::size_t nextTurn = 0;
    CardReopener reopener;

    State(Options givenOptions, Seams seams, std::shared_ptr<Events> events, SerialQueue& queue)
        : options(std::move(givenOptions)),
          host(std::move(seams.host)),
          timers(seams.timers),
          context(queue.state().context),
          board(std::move(events)),
          interfaceName(options.mode.interfaceName()),
          reopener(context) {
        tftpSources.loopbackMode = !isCardMode();
        if (options.servesDHCP) {
            addDHCP(queue, std::move(seams.transportFactory), std::move(seams.leaseStore));
            addTFTP(std::move(seams.bootFiles));
        }
        if (isCardMode() && options.watchCable && host.openFrameWatch) addWatch();
    }

    bool isCardMode() const { return !options.mode.isLoopback(); }

    void addDHCP(SerialQueue& queue, TransportFactory factory, LeaseStore::Seams store) {
        DHCPServer::Callbacks callbacks{
            [this](ServerEvent event) { board.emit(std::move(event)); },
            [this](Notice notice) { board.raise(std::move(notice)); },
            [this](NoticeKind kind) { board.clear(kind); },
            // Lease facts go one way: from the server's table to the watch.
            [this](const MACAddress& mac, bool holds) {
                if (watch) watch->leaseChanged(mac, holds);
            },
        };
        auto server = std::make_unique<DHCPServer>(
            queue, DHCPServer::Options{options.config, options.mode, options.leaseFile, options.presenceEnabled},
            std::move(callbacks), DHCPServer::Seams{host, std::move(factory), timers, std::move(store)});
        auto service = std::make_unique<DHCPOnCard>(std::move(server), [this](ServerEvent event) {
            board.emit(std::move(event));
        });
        dhcp = service.get();
        services.push_back(std::move(service));
    }

    // TFTP's sockets live on this loop, but its file opens and block reads run on the service's own
    // thread, read ahead of the client: a boot folder on a slow stick never delays a DHCP reply here.
    void addTFTP(TFTPService::Seams files) {
        TFTPService::Place place{std::string{}, 0, options.config.serverIP};
        if (auto loopback = std::get_if<TransportMode::Loopback>(&options.mode.value))
            place.loopbackPort = loopback->tftpPort;
        TFTPService::Callbacks callbacks{
            [this](ServerEvent event) { board.emit(std::move(event)); },
            [this](Notice notice) { board.raise(std::move(notice)); },
            [this](NoticeKind kind) { board.clear(kind); },
            // Which device is at an address: the server's table answers.
            [this](IPv4Address ip) { return dhcp->server().holderOf(ip); },
            host.clock,
            [this] { return tftpSources; },
            host.openTFTPListener,
        };
        auto service =
            std::make_unique<TFTPOnCard>(context, std::move(place), isCardMode(), options.config.boot,
                                                    std::move(callbacks), std::move(files));
        tftp = service.get();
        services.push_back(std::move(service));
    }

    void addWatch() {
        WatchOnCard::Options watchOptions;
        auto& callbacks = watchOptions.callbacks;
        callbacks.emit = [this](ServerEvent event) { board.emit(std::move(event)); };
        callbacks.raise = [this](Notice notice) { board.raise(std::move(notice)); };
        callbacks.clear = [this](NoticeKind kind) { board.clear(kind); };
        callbacks.facts = [this] {
            auto index = host.interfaceIndex ? host.interfaceIndex(interfaceName) : 0;
            auto routes = host.routes ? host.routes() : std::vector<RouteDump::Route>{};
            std::optional<Subnet> served;
            if (options.servesDHCP) served = options.config.subnet();
            return BenchFacts::from(interfaceName, index, served, host.interfaceAddresses(), routes);
        };
        callbacks.maker = options.maker;
        callbacks.clock = host.clock;
        if (options.cardMAC) callbacks.ownMAC = [mac = *options.cardMAC] { return std::optional<MACAddress>(mac); };
        watchOptions.seams.open = host.openFrameWatch;
        watchOptions.required = !options.servesDHCP;
        auto service = std::make_unique<WatchOnCard>(context, std::move(watchOptions));
        watch = service.get();
        services.push_back(std::move(service));
    }

    // Start and stop.

    void start() {
        if (running) return;
        if (isCardMode()) {
            refreshOwnAddresses();
            cardIndex = host.interfaceIndex ? host.interfaceIndex(interfaceName) : 0;
        }
        std::size_t started = 0;
        try {
            for (; started < services.size(); ++started) services[started]->start(interfaceName);
        } catch (...) {
            while (started > 0) services[--started]->stop();
            throw;
        }
        running = true;
        Interfaces::MediaStatus media{true, std::nullopt};
        if (isCardMode()) media = host.mediaStatus(interfaceName);
        linkUp = media.linkUp;
        for (auto& service : services) service->begin(linkUp);
        if (watch && dhcp)
            for (const auto& mac : dhcp->server().boundDevices()) watch->leaseChanged(mac, true);
        if (!isCardMode()) return;
        showLink(media);
        if (dhcp) host.triggerLocalNetworkAlert(interfaceName, options.config.rangeStart);
        cardTimer.emplace(context, timers.watchInterval, timers.watchInterval, [this] { step(); });
    }

    void stop() {
        if (!running) return;
        halt();
        for (auto service = services.rbegin(); service != services.rend(); ++service) (*service)->stop();
        board.emit(ServerEvent::stopped());
        board.finish();
    }

    // Tears down what lives on the loop, without the stop's save and events.
    void shutdown() {
        halt();
        // The peers that ask DHCP go before it.
        while (!services.empty()) services.pop_back();
        dhcp = nullptr;
        tftp = nullptr;
        watch = nullptr;
        board.finish();
    }

    void halt() {
        running = false;
        cardTimer.reset();
    }

    // The card, each second.

    void step() {
        if (!running) return;
        refreshOwnAddresses();
        auto index = host.interfaceIndex(interfaceName);
        if (!cardAway && (index == 0 || index != cardIndex)) return cardLeft();
        if (cardAway) {
            std::optional<std::string> name;
            if (options.cardMAC && host.bsdName) name = host.bsdName(*options.cardMAC);
            if (!name && index != 0) name = interfaceName;
            if (!name) return;
            interfaceName = *name;
        } else {
            auto media = host.mediaStatus(interfaceName);
            if (media.linkUp != linkUp) {
                showLink(media);
                for (auto& service : services) service->linkChanged(linkUp);
            }
            if (linkUp && services.front()->wantsSockets(linkUp)) leadLost = true;
        }
        reopenNext();
    }

    void cardLeft() {
        for (auto& service : services) service->cardGone();
        linkUp = false;
        cardAway = true;
        leadLost = false;
        board.raise(Notice::adapterUnplugged());
    }

    // One opening at a time, off the loop; a stop meanwhile wins and the late sockets are closed.
    void reopenNext() {
        if (!running || !isCardMode() || reopener.busy()) return;
        for (std::size_t tried = 0; tried < services.size(); ++tried) {
            auto index = cardAway ? 0 : (nextTurn + tried) % services.size();
            auto& service = *services[index];
            if (!service.wantsSockets(cardAway || linkUp)) {
                if (cardAway) return;
                continue;
            }
            nextTurn = (index + 1) % services.size();
            reopener.reopen(interfaceName, service.opener(),
                            [weak = weak_from_this(), index, name = interfaceName](CardService::Opening opening) {
                                if (auto state = weak.lock()) state->reopened(index, name, std::move(opening));
                            });
            return;
        }
    }

    void reopened(std::size_t index, const std::string& name, CardService::Opening opening) {
        if (!running || index >= services.size()) return;
        if (!services[index]->cardBack(name, std::move(opening))) return;  // tried again next second
        if (index == 0 && (cardAway || leadLost)) {
            cardAway = false;
            leadLost = false;
            cardIndex = host.interfaceIndex(name);
            board.clear(NoticeKind::adapterUnplugged);
            board.emit(ServerEvent::info(name + " is back"));
            showLink(host.mediaStatus(name));
            for (auto& service : services) service->linkChanged(linkUp);
        }
        reopenNext();
    }

    // The link as just read, told to the front end with its notice.
    void showLink(const Interfaces::MediaStatus& media) {
        linkUp = media.linkUp;
        board.emit(ServerEvent::link(media.linkUp, media.description));
        if (linkUp)
            board.clear(NoticeKind::linkDown);
        else
            board.raise(Notice::linkDown(interfaceName));
    }

    void refreshOwnAddresses() {
        ownAddresses.clear();
        tftpSources.benchNetworks.clear();
        if (options.servesDHCP) tftpSources.benchNetworks.push_back(options.config.subnet());
        for (const auto& address : host.interfaceAddresses()) {
            ownAddresses.insert(address.subnet.address);
            if (address.name == interfaceName) tftpSources.benchNetworks.push_back(address.subnet);
        }
        tftpSources.ownAddresses = ownAddresses;
        if (dhcp) dhcp->server().setOwnAddresses(ownAddresses);
    }
};

CardRun::CardRun(Options options) : CardRun(std::move(options), Seams{}) {}

CardRun::CardRun(Options options, Seams seams)
    : events_(std::make_shared<Events>()), loop_(std::make_unique<Loop>()) {
    // Made on the loop: its services live there.
    loop_->queue.sync([&] {
        state_ = std::make_shared<State>(std::move(options), std::move(seams), events_, loop_->queue);
    });
}

CardRun::~CardRun() {
    auto state = state_;
    // Probes still out are cancelled there, so nothing here waits for one to time out.
    loop_->queue.sync([state] { state->shutdown(); });
    state_.reset();
    // The last reference goes on the loop: the reopener's thread ends after the opening under way.
    loop_->queue.sync([state = std::move(state)]() mutable { state.reset(); });
    loop_.reset();
}

void CardRun::start() {
    auto state = state_;
    loop_->queue.sync([state] { state->start(); });
}

void CardRun::stop() {
    auto state = state_;
    loop_->queue.sync([state] { state->stop(); });
    loop_->queue.sync([] {});
}

namespace {

template <typename Work>
void post(SerialQueue& queue, const std::shared_ptr<CardRun::State>& state, Work work) {
    queue.async([weak = std::weak_ptr(state), work = std::move(work)] {
        if (auto locked = weak.lock()) work(*locked);
    });
}

}  // namespace

void CardRun::forgetLease(const MACAddress& mac) {
    post(loop_->queue, state_, [mac](State& state) {
        if (state.dhcp) state.dhcp->server().forgetLease(mac);
    });
}

void CardRun::clearInactive() {
    post(loop_->queue, state_, [](State& state) {
        if (state.dhcp) state.dhcp->server().clearInactive();
    });
}

void CardRun::refreshPresence() {
    post(loop_->queue, state_, [](State& state) {
        if (state.dhcp && state.running) state.dhcp->server().refreshPresence();
    });
}

void CardRun::startRecoveryServing() {
    post(loop_->queue, state_, [](State& state) {
        if (!state.tftp || !state.running) return;
        state.tftp->startRecoveryServing();
        state.reopenNext();
    });
}

void CardRun::serveFileAs(std::string name, std::filesystem::path source) {
    post(loop_->queue, state_, [name = std::move(name), source = std::move(source)](State& state) {
        if (!state.tftp || !state.running) return;
        state.tftp->serveFileAs(name, source);
        state.reopenNext();
    });
}

void CardRun::stopRecoveryServing() {
    post(loop_->queue, state_, [](State& state) {
        if (state.tftp) state.tftp->stopRecoveryServing();
    });
}

LeaseTable CardRun::currentTable() {
    LeaseTable copy;
    auto state = state_;
    loop_->queue.sync([&copy, state] {
        if (state->dhcp) copy = state->dhcp->server().table();
    });
    return copy;
}

std::vector<Neighbour> CardRun::currentNeighbours() {
    std::vector<Neighbour> copy;
    auto state = state_;
    loop_->queue.sync([&copy, state] {
        if (state->watch) copy = state->watch->neighbours();
    });
    return copy;
}

}  // namespace anvil
