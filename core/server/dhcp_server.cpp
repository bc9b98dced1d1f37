#include "core/server/dhcp_server.hpp"

#include <asio.hpp>
#include <set>
#include <unordered_map>

#include "core/addressing/timing.hpp"
#include "core/events/packet_summary.hpp"
#include "core/events/serial_queue.hpp"
#include "core/events/serial_queue_state.hpp"
#include "core/protocol/packet_error.hpp"
#include "core/server/local_network.hpp"
#include "core/server/responder.hpp"
#include "core/server/udp_transport.hpp"

namespace anvil {

namespace {

constexpr std::size_t probeThreads = 8;
// Datagrams decided before one save of the lease file covers them all; bounds how long the
// first reply of a burst waits behind the others.
constexpr int batchLimit = 64;

std::chrono::steady_clock::duration seconds(double value) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(value));
}

}  // namespace

struct DHCPServer::Queues {
    SerialQueue server{"dhcpanvil.server"};
    // Blocking probes run here, several at once ("dhcpanvil.presence").
    asio::thread_pool probes{probeThreads};
};

struct DHCPServer::Core : std::enable_shared_from_this<DHCPServer::Core> {
    Options options;
    Responder responder;
    ServerHost host;
    TransportFactory makeTransport;
    ServerTimers timers;
    std::shared_ptr<Events> events;
    asio::io_context& context;
    asio::thread_pool& probePool;

    std::unique_ptr<Transport> transport;
    std::uint64_t transportGeneration = 0;
    std::string interfaceName;
    bool isOpen = false;
    std::optional<asio::posix::stream_descriptor> readSource;
    std::optional<asio::steady_timer> watchTimer;
    std::optional<asio::steady_timer> presenceTimer;
    std::vector<std::shared_ptr<asio::steady_timer>> retryTimers;

    LeaseTable table;
    std::unordered_map<IPv4Address, PresenceState> presence;
    bool linkUp = true;
    bool running = false;
    std::set<NoticeKind> raised;
    bool recvifWarned = false;
    bool leaseFileWritable = true;

    // Group commit: while a batch of datagrams is decided, changed tables only mark the file
    // for saving and replies wait here; one save then covers them all before any is sent.
    bool batching = false;
    // An unsaved change that must reach the disk before the held replies go out. An offer alone
    // need not: a lost offered lease is only a 60-second hold, so it rides on the next save.
    bool mustSave = false;
    std::vector<Reply> heldReplies;

    Core(Options options, Seams seams, std::shared_ptr<Events> events, asio::io_context& context,
         asio::thread_pool& probePool)
        : options(std::move(options)),
          responder{this->options.config},
          host(std::move(seams.host)),
          makeTransport(std::move(seams.transportFactory)),
          timers(seams.timers),
          events(std::move(events)),
          context(context),
          probePool(probePool),
          interfaceName(this->options.mode.interfaceName()) {
        if (!makeTransport) makeTransport = makeSystemTransport;
    }

    bool isCardMode() const { return !options.mode.isLoopback(); }
    std::weak_ptr<Core> weak() { return weak_from_this(); }

    // Events and notices.

    void emit(ServerEvent event) { events->yield(std::move(event)); }

    void raise(Notice notice) {
        raised.insert(notice.kind);
        emit(ServerEvent::noticeRaised(std::move(notice)));
    }

    void clear(NoticeKind kind) {
        if (raised.erase(kind)) emit(ServerEvent::noticeCleared(kind));
    }

    // Start and stop.

    void start() {
        if (running) return;
        loadLeases();
        openTransport();
        running = true;
        emit(ServerEvent::started(interfaceName, options.config));
        for (const auto& lease : table.leases()) emit(ServerEvent::leaseChanged(lease));
        if (isCardMode()) {
            auto media = host.mediaStatus(interfaceName);
            linkUp = media.linkUp;
            emit(ServerEvent::link(media.linkUp, media.description));
            if (!linkUp) raise(Notice::linkDown(interfaceName));
            host.triggerLocalNetworkAlert(interfaceName, options.config.rangeStart);
            repeat(&Core::watchTimer, timers.watchInterval, timers.watchInterval, [](Core& core) { core.watch(); });
            if (options.presenceEnabled && host.icmpProbes && !host.icmpProbes(interfaceName))
                emit(ServerEvent::info("presence probes use TCP alone: this user may not open ping sockets "
                                       "(net.ipv4.ping_group_range)"));
        }
        if (options.presenceEnabled) {
            repeat(&Core::presenceTimer, timers.presenceFirstRun, timers.presenceInterval,
                   [](Core& core) { core.presenceCycle(); });
        }
    }

    void stop() {
        if (!running) return;
        running = false;
        cancelTimers();
        closeTransport();
        save();
        emit(ServerEvent::stopped());
        events->finish();
    }

    // Tears down what lives on the queue's executor, without the stop sequence's save and events.
    void shutdown() {
        running = false;
        cancelTimers();
        closeTransport();
        events->finish();
    }

    void cancelTimers() {
        watchTimer.reset();
        presenceTimer.reset();
        retryTimers.clear();
    }

    using TimerSlot = std::optional<asio::steady_timer> Core::*;

    // Creates the timer in its slot; each run re-arms it unless the work emptied the slot (stop).
    void repeat(TimerSlot slot, double first, double interval, void (*work)(Core&)) {
        (this->*slot).emplace(context, seconds(first));
        arm(slot, interval, work);
    }

    void arm(TimerSlot slot, double interval, void (*work)(Core&)) {
        (this->*slot)->async_wait([weak = weak(), slot, interval, work](const asio::error_code& error) {
            if (error) return;  // cancelled: the timer may already be gone
            auto core = weak.lock();
            if (!core) return;
            work(*core);
            auto& timer = (*core).*slot;
            if (!timer) return;
            timer->expires_at(timer->expiry() + seconds(interval));
            core->arm(slot, interval, work);
        });
    }

    // Leases.

    void loadLeases() {
        try {
            auto loaded = options.leaseFile.load(host.clock());
            table = std::move(loaded.table);
            if (loaded.setAsideURL) raise(Notice::leaseFileSetAside(*loaded.setAsideURL));
        } catch (const std::exception& error) {
            leaseFileWritable = false;
            table = LeaseTable{};
            raise(Notice::leaseReadFailedAtStart(error.what()));
        }
        auto dropped = table.dropOutside(options.config.range());
        for (const auto& lease : dropped) {
            emit(ServerEvent::info("dropped lease " + lease.ip.description() + " for " + lease.mac.description() +
                                   ": outside the range"));
            emit(ServerEvent::leaseRemoved(lease.mac));
        }
        if (!dropped.empty()) save();
    }

    void save() {
        mustSave = false;
        if (!leaseFileWritable) return;
        try {
            options.leaseFile.save(table);
            clear(NoticeKind::leaseSaveFailed);
        } catch (const std::exception& error) {
            raise(Notice::leaseSaveFailed(error.what()));
        }
    }

    // The socket.

    void openTransport() {
        auto mode = isCardMode() ? TransportMode::interface(interfaceName) : options.mode;
        auto fresh = makeTransport(mode);
        fresh->open();
        transport = std::move(fresh);
        ++transportGeneration;
        readSource.emplace(context, transport->fd());
        isOpen = true;
        waitForDatagrams();
    }

    void closeTransport() {
        if (readSource) {
            readSource->cancel();
            readSource->release();  // the transport owns the descriptor
            readSource.reset();
        }
        if (transport) transport->close();
        isOpen = false;
    }

    void waitForDatagrams() {
        readSource->async_wait(asio::posix::stream_descriptor::wait_read,
                               [weak = weak(), generation = transportGeneration](const asio::error_code& error) {
                                   if (error) return;
                                   auto core = weak.lock();
                                   if (!core || !core->isOpen || core->transportGeneration != generation) return;
                                   core->readStep();
                                   if (core->isOpen && core->transportGeneration == generation)
                                       core->waitForDatagrams();
                               });
    }

    void readStep() {
        auto generation = transportGeneration;
        batching = true;
        for (int count = 0; count < batchLimit && isOpen && transportGeneration == generation; ++count) {
            try {
                auto datagram = transport->receive();
                if (!datagram) break;
                handleDatagram(*datagram);
            } catch (const TransportError& error) {
                emit(ServerEvent::info("receive failed: " + error.description()));
                break;
            }
        }
        batching = false;
        commit();
    }

    // Saves once for every change decided since the last save, then sends the replies that
    // waited for it, in the order they were decided. A failed save still sends (serving goes
    // on with leaseSaveFailed raised), as a single decision would.
    void commit() {
        if (mustSave) save();
        auto replies = std::move(heldReplies);
        heldReplies.clear();
        for (const auto& reply : replies) send(reply, true);
    }

    void handleDatagram(const Datagram& datagram) {
        if (isCardMode()) {
            if (!datagram.interfaceIndex) {
                if (!recvifWarned) {
                    emit(ServerEvent::info("arrival interface check unavailable; relying on SO_BINDTODEVICE"));
                    recvifWarned = true;
                }
            } else if (*datagram.interfaceIndex != transport->interfaceIndex()) {
                emit(ServerEvent::dropped("arrived on " + host.interfaceNameForIndex(*datagram.interfaceIndex) +
                                              " instead of " + interfaceName,
                                          std::nullopt));
                return;
            }
        }
        DHCPPacket packet;
        try {
            packet = DHCPPacket::parse(datagram.bytes);
        } catch (const PacketError& error) {
            emit(ServerEvent::dropped("malformed (" + error.description() + ")", std::nullopt));
            return;
        }
        emit(ServerEvent::received(PacketSummary::from(packet, interfaceName)));
        process(packet, {});
    }

    // Deciding and answering.

    void process(const DHCPPacket& packet, std::unordered_map<IPv4Address, bool> probes) {
        auto decision = responder.decide(packet, DecisionContext{table, presence, probes, host.clock()});
        auto address = decision.action.probeAddress();
        if (!address) {
            apply(std::move(decision));
            return;
        }
        if (!options.presenceEnabled) {
            probes[*address] = true;
            process(packet, std::move(probes));
            return;
        }
        emit(ServerEvent::info("probing " + address->description() + " before giving it to another device"));
        asio::post(probePool, [weak = weak(), context = &context, prober = host.probe, name = interfaceName,
                               ip = *address, packet, probes = std::move(probes)]() mutable {
            auto result = prober(name, ip, Timing::probeTimeout);
            asio::post(*context, [weak, ip, answered = result.answered, packet = std::move(packet),
                                  probes = std::move(probes)]() mutable {
                auto core = weak.lock();
                if (!core || !core->running) return;
                if (answered) core->presence[ip] = PresenceState::online;
                probes[ip] = answered;
                core->process(packet, std::move(probes));
            });
        });
    }

    void apply(Decision decision) {
        table = std::move(decision.table);
        for (auto& event : decision.notes) {
            if (auto notice = event.as<ServerEvent::NoticeRaised>()) raised.insert(notice->notice.kind);
            emit(std::move(event));
        }
        auto reply = decision.action.replyValue();
        if (decision.tableChanged && (!reply || reply->type != DHCPMessageType::offer)) mustSave = true;
        if (reply) heldReplies.push_back(*reply);
        // Outside a read batch (a decision after a probe) the decision commits on its own.
        if (!batching) commit();
    }

    void send(const Reply& reply, bool retryAllowed) {
        auto type = description(reply.type);
        if (!isOpen) {
            emit(ServerEvent::info(type + " not sent: socket closed"));
            return;
        }
        try {
            transport->send(reply.packet.serialize(DHCPPacket::minimumReplyLength), reply.destination);
            clear(NoticeKind::localNetworkDenied);
            emit(ServerEvent::sent(
                SentSummary{reply.type, reply.ip, reply.mac, reply.destination, interfaceName, reply.note}));
        } catch (const TransportError& error) {
            sendFailed(reply, error, retryAllowed);
        } catch (const std::exception& error) {
            emit(ServerEvent::info(type + " not sent: " + error.what()));
        }
    }

    void sendFailed(const Reply& reply, const TransportError& error, bool retryAllowed) {
        auto type = description(reply.type);
        bool present = false;
        for (const auto& address : host.interfaceAddresses())
            if (address.name == interfaceName && address.subnet.address == options.config.serverIP) present = true;
        auto failure = LocalNetwork::classify(error, linkUp, present);
        switch (failure.kind) {
            case SendFailure::Kind::linkDown: emit(ServerEvent::info(type + " not sent: link down")); break;
            case SendFailure::Kind::addressMissing:
                emit(ServerEvent::info(type + " not sent: " + options.config.serverIP.description() + " is not on " +
                                       interfaceName + " right now"));
                break;
            case SendFailure::Kind::possiblyDenied:
                if (retryAllowed)
                    retryLater(reply);
                else
                    raise(Notice::localNetworkDenied());
                break;
            case SendFailure::Kind::other: emit(ServerEvent::info(type + " not sent: " + failure.text)); break;
        }
    }

    void retryLater(const Reply& reply) {
        auto timer = std::make_shared<asio::steady_timer>(context, seconds(timers.sendRetryDelay));
        retryTimers.push_back(timer);
        timer->async_wait([weak = weak(), reply, timer = timer.get()](const asio::error_code& error) {
            if (error) return;
            auto core = weak.lock();
            if (!core) return;
            std::erase_if(core->retryTimers, [timer](const auto& held) { return held.get() == timer; });
            core->send(reply, false);
        });
    }

    // Watching the card.

    void watch() {
        if (!running) return;
        auto index = host.interfaceIndex(interfaceName);
        if (isOpen) {
            if (index == 0 || index != transport->interfaceIndex()) {
                closeTransport();
                linkUp = false;
                markAllOffline("adapter unplugged");
                raise(Notice::adapterUnplugged());
                return;
            }
            auto media = host.mediaStatus(interfaceName);
            if (media.linkUp == linkUp) return;
            linkUp = media.linkUp;
            emit(ServerEvent::link(media.linkUp, media.description));
            if (!linkUp) {
                raise(Notice::linkDown(interfaceName));
                markAllOffline("link down");
            } else {
                clear(NoticeKind::linkDown);
                presenceCycle();
            }
            return;
        }
        reopen(index);
    }

    void reopen(std::uint32_t currentIndex) {
        std::optional<std::string> name;
        if (options.cardMAC) name = host.bsdName(*options.cardMAC);
        if (!name && currentIndex != 0) name = interfaceName;
        if (!name) return;
        interfaceName = *name;
        try {
            openTransport();
        } catch (const std::exception& error) {
            emit(ServerEvent::info("could not reopen " + *name + ": " + error.what()));
            return;
        }
        clear(NoticeKind::adapterUnplugged);
        emit(ServerEvent::info(*name + " is back"));
        auto media = host.mediaStatus(*name);
        linkUp = media.linkUp;
        emit(ServerEvent::link(media.linkUp, media.description));
        if (linkUp)
            clear(NoticeKind::linkDown);
        else
            raise(Notice::linkDown(*name));
    }

    void markAllOffline(const std::string& reason) {
        for (const auto& lease : table.leases()) {
            if (lease.state != Lease::State::bound) continue;
            auto known = presence.find(lease.ip);
            if (known != presence.end() && known->second == PresenceState::offline) continue;
            presence[lease.ip] = PresenceState::offline;
            emit(ServerEvent::presence(lease.ip, lease.mac, PresenceState::offline, reason));
        }
    }

    // Presence.

    void presenceCycle() {
        if (!running || !options.presenceEnabled || !linkUp) return;
        auto now = host.clock();
        for (const auto& lease : table.leases()) {
            if (lease.state != Lease::State::bound || !(lease.expiresAt > now)) continue;
            asio::post(probePool, [weak = weak(), context = &context, prober = host.probe, arp = host.readARPTable,
                                   name = interfaceName, lease] {
                auto result = prober(name, lease.ip, Timing::probeTimeout);
                auto entries = arp();
                std::optional<MACAddress> seen;
                if (auto found = entries.find(lease.ip); found != entries.end()) seen = found->second;
                asio::post(*context, [weak, lease, result, seen] {
                    auto core = weak.lock();
                    if (core && core->running) core->judgePresence(lease, result, seen);
                });
            });
        }
    }

    void judgePresence(const Lease& lease, const ProbeResult& result, const std::optional<MACAddress>& seen) {
        auto state = PresenceClassifier::classify(result, seen, lease.mac, linkUp);
        auto known = presence.find(lease.ip);
        if (known != presence.end() && known->second == state) return;
        presence[lease.ip] = state;
        emit(ServerEvent::presence(lease.ip, lease.mac, state, result.detail));
    }

    // Requests from the front end.

    void forgetLease(const MACAddress& mac) {
        if (!table.remove(mac)) return;
        emit(ServerEvent::leaseRemoved(mac));
        save();
    }

    void clearInactive() {
        auto now = host.clock();
        std::vector<MACAddress> inactive;
        for (const auto& lease : table.leases())
            if (!lease.holdsAddress(now)) inactive.push_back(lease.mac);
        if (inactive.empty()) return;
        for (const auto& mac : inactive) {
            table.remove(mac);
            emit(ServerEvent::leaseRemoved(mac));
        }
        save();
    }
};

DHCPServer::DHCPServer(Options options) : DHCPServer(std::move(options), Seams{}) {}

DHCPServer::DHCPServer(Options options, Seams seams)
    : events_(std::make_shared<Events>()), queues_(std::make_unique<Queues>()) {
    core_ = std::make_shared<Core>(std::move(options), std::move(seams), events_, queues_->server.state().context,
                                   queues_->probes);
}

DHCPServer::~DHCPServer() {
    auto core = core_;
    queues_->server.sync([core] { core->shutdown(); });
    // Probes still out finish first; their results find the server stopped.
    queues_->probes.join();
    core_.reset();
    core.reset();
    queues_.reset();
}

void DHCPServer::start() {
    auto core = core_;
    queues_->server.sync([core] { core->start(); });
}

void DHCPServer::stop() {
    auto core = core_;
    queues_->server.sync([core] { core->stop(); });
    queues_->server.sync([] {});
}

LeaseTable DHCPServer::currentTable() {
    LeaseTable copy;
    auto core = core_;
    queues_->server.sync([&copy, core] { copy = core->table; });
    return copy;
}

void DHCPServer::forgetLease(const MACAddress& mac) {
    queues_->server.async([weak = std::weak_ptr(core_), mac] {
        if (auto core = weak.lock()) core->forgetLease(mac);
    });
}

void DHCPServer::clearInactive() {
    queues_->server.async([weak = std::weak_ptr(core_)] {
        if (auto core = weak.lock()) core->clearInactive();
    });
}

void DHCPServer::refreshPresence() {
    queues_->server.async([weak = std::weak_ptr(core_)] {
        if (auto core = weak.lock()) core->presenceCycle();
    });
}

}  // namespace anvil
