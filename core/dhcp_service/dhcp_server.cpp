#include "core/dhcp_service/dhcp_server.hpp"

#include <algorithm>
#include <asio.hpp>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include "core/addressing/plain_text.hpp"
#include "core/addressing/timing.hpp"
#include "core/events/packet_summary.hpp"
#include "core/events/serial_queue_state.hpp"
#include "core/dhcp/packet_error.hpp"
#include "core/dhcp_service/delayed_runs.hpp"
#include "core/dhcp_service/lease_store.hpp"
#include "core/dhcp_service/local_network.hpp"
#include "core/dhcp_service/presence_sweep.hpp"
#include "core/dhcp_service/repeating_timer.hpp"
#include "core/dhcp_service/responder.hpp"
#include "core/dhcp_service/source_screen.hpp"
#include "core/dhcp_service/starting_table.hpp"
#include "core/dhcp_service/transport_listener.hpp"
#include "core/dhcp_service/udp_transport.hpp"

namespace anvil {

namespace {

// Datagrams decided before one save of the lease file covers them all; bounds how long the
// first reply of a burst waits behind the others.
constexpr int batchLimit = 64;
// Replies waiting for their one retry after a refused send.
constexpr std::size_t retryLimit = 64;

}  // namespace

struct DHCPServer::State : std::enable_shared_from_this<DHCPServer::State> {
    Options options;
    Callbacks callbacks;
    Responder responder;
    ServerHost host;
    TransportFactory makeTransport;
    ServerTimers timers;
    asio::io_context& context;

    std::string interfaceName;
    TransportListener listener;
    std::optional<RepeatingTimer> presenceTimer;
    std::optional<RepeatingTimer> expiryTimer;
    DelayedRuns retries;
    // Probes run as operations on this queue's loop.
    PresenceSweep presence;
    // This computer's own addresses, told by the run rather than read per datagram.
    std::unordered_set<IPv4Address> ownAddresses;

    LeaseTable table;
    bool linkUp = true;
    bool running = false;
    bool recvifWarned = false;

    // Answers and reports come back on this queue until abandoned, while the State still exists.
    LeaseStore store;

    // Group commit: while a batch of datagrams is decided, changed tables only record their
    // changes and ACKs wait; one commit then covers them all before any of them is sent.
    bool batching = false;
    // ACKs of a lease wait here until everything recorded before them is on disk. Offers, NAKs
    // and the ACK of an INFORM promise nothing stored and leave the moment they are decided: a
    // lost offered lease is only a 60-second hold, so it rides on the next flush.
    std::vector<Reply> heldReplies;

    State(SerialQueue& queue, Options options, Callbacks callbacks, Seams seams)
        : options(std::move(options)),
          callbacks(std::move(callbacks)),
          responder{this->options.config},
          host(std::move(seams.host)),
          makeTransport(seams.transportFactory ? std::move(seams.transportFactory)
                                               : TransportFactory(makeSystemTransport)),
          timers(seams.timers),
          context(queue.state().context),
          interfaceName(this->options.mode.interfaceName()),
          listener(context, [this] { readStep(); }),
          retries(context, retryLimit),
          presence(context,
                   {host.makeProber, host.readARPTable, host.clock, [this](IPv4Address ip) { return holderOf(ip); }},
                   [this](PresenceSweep::Report report) { presenceReported(std::move(report)); }),
          store(this->options.leaseFile, queue, [this](const LeaseStore::Report& report) { storeReported(report); },
                std::move(seams.leaseStore)) {
        presence.setCard(interfaceName, linkUp);
        presence.limitReclaims(static_cast<std::size_t>(std::max(this->options.config.rangeCount(), 1)));
    }

    bool isCardMode() const { return !options.mode.isLoopback(); }

    void emit(ServerEvent event) {
        if (callbacks.emit) callbacks.emit(std::move(event));
    }
    void raise(Notice notice) {
        if (callbacks.raise) callbacks.raise(std::move(notice));
    }
    void clear(NoticeKind kind) {
        if (callbacks.clear) callbacks.clear(kind);
    }

    // Start and stop.

    void open(const std::string& card) {
        if (isCardMode()) interfaceName = card;
        // Before anything is read: a second writer would rename its journal over the first's.
        auto failure = store.lock();
        // The store resolved the path: the file loaded is the one it writes.
        options.leaseFile = store.file();
        if (failure)
            emit(ServerEvent::info(plainText(options.leaseFile.url.filename().string()) +
                                   " is not locked, so a second DHCP Anvil would not be kept from writing it (" +
                                   *failure + ")"));
        loadLeases();
        openTransport();
    }

    void begin(bool up) {
        running = true;
        emit(ServerEvent::started(interfaceName, options.config));
        for (const auto& lease : table.leases()) emit(ServerEvent::leaseChanged(lease));
        setLink(up);
        if (isCardMode() && options.presenceEnabled && host.icmpProbes && !host.icmpProbes(interfaceName))
            emit(ServerEvent::info("presence probes use TCP alone: this user may not open ping sockets "
                                   "(net.ipv4.ping_group_range)"));
        if (options.presenceEnabled) {
            presenceTimer.emplace(context, timers.presenceFirstRun, timers.presenceInterval,
                                  [this] { presenceCycle(); });
        }
        expiryTimer.emplace(context, timers.offerExpiryInterval, timers.offerExpiryInterval,
                            [this] { expireOffers(); });
    }

    void stop() {
        bool wasRunning = running;
        halt();
        if (wasRunning) store.close();
    }

    // Tears down what lives on the queue's executor, without the stop sequence's save.
    void abandon() {
        halt();
        store.abandon();
    }

    void halt() {
        running = false;
        presenceTimer.reset();
        expiryTimer.reset();
        retries.clear();
        presence.cancel();
        listener.close();
    }

    // Leases.

    void loadLeases() {
        std::variant<LeaseFile::LoadResult, std::string> loaded;
        try {
            loaded = options.leaseFile.load(host.clock());
        } catch (const std::exception& error) {
            loaded = std::string(error.what());
        }
        auto start = startingTable(std::move(loaded), options.config.range(), host.clock(),
                                   options.leaseFile.journalURL().filename().string());
        table = std::move(start.table);
        for (auto& event : start.reports) emit(std::move(event));
        // The start's compaction: one snapshot of everything loaded, and an empty journal.
        table.takeChanges();
        if (start.readable) store.open(table);
    }

    void recordChanges(LeaseStore::Flush flush = LeaseStore::Flush::withNextCommit) {
        auto changes = table.takeChanges();
        if (callbacks.leaseHeld) {
            for (const auto& change : changes) {
                if (change.kind == TableChange::Kind::putLease)
                    callbacks.leaseHeld(change.lease.mac, change.lease.state == Lease::State::bound);
                else if (change.kind == TableChange::Kind::removeLease)
                    callbacks.leaseHeld(change.lease.mac, false);
            }
        }
        store.record(changes, flush);
    }

    void storeReported(const LeaseStore::Report& report) {
        switch (report.kind) {
            case LeaseStore::Report::Kind::saved: clear(NoticeKind::leaseSaveFailed); break;
            case LeaseStore::Report::Kind::saveFailed: raise(Notice::leaseSaveFailed(report.failure)); break;
            // Nothing is lost: the journal keeps every change until a later compaction succeeds.
            case LeaseStore::Report::Kind::notRewritten:
                emit(ServerEvent::info("leases.json not rewritten: " + report.failure));
                break;
            case LeaseStore::Report::Kind::rewritten: emit(ServerEvent::info("leases.json rewritten")); break;
        }
    }

    // The socket.

    void openTransport() {
        auto mode = isCardMode() ? TransportMode::interface(interfaceName) : options.mode;
        auto fresh = makeTransport(mode);
        fresh->open();
        listener.listen(std::move(fresh));
    }

    void readStep() {
        auto generation = listener.generation();
        batching = true;
        for (int count = 0; count < batchLimit && listener.isOpen() && listener.generation() == generation; ++count) {
            try {
                auto datagram = listener.transport().receive();
                if (!datagram) break;
                handleDatagram(*datagram);
            } catch (const TransportEnded& ended) {
                // The watch opens the card again once the helper accepts it, as after an unplug.
                listener.close();
                auto why = ended.reason.empty() ? "dhcpanvil-helper exited" : ended.reason;
                emit(ServerEvent::info("Serving on " + interfaceName + " stopped: " + why));
                break;
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
        if (heldReplies.empty()) return;
        // The replies leave from the flush's thread as soon as it is on disk, and are told of
        // here afterwards; those it did not send (no flush ran, or the socket was closed) leave
        // from here then.
        auto held = std::make_shared<HeldReplies>();
        held->replies = std::exchange(heldReplies, {});
        for (const auto& reply : held->replies)
            held->bytes.push_back(reply.packet.serialize(DHCPPacket::minimumReplyLength));
        held->outcomes.resize(held->replies.size());
        store.commit([this, held](bool) { sendRest(*held); },
                     [held, listener = &listener] { sendOnDisk(*held, *listener); });
    }

    struct HeldReplies {
        struct Outcome {
            bool sent = false;
            std::optional<TransportError> refused;
            std::optional<std::string> failure;
        };
        std::vector<Reply> replies;
        std::vector<Bytes> bytes;
        std::vector<Outcome> outcomes;  // written on the flush's thread, read here after its answer
    };

    static void sendOnDisk(HeldReplies& held, TransportListener& listener) {
        for (std::size_t index = 0; index < held.replies.size(); ++index) {
            auto& outcome = held.outcomes[index];
            try {
                if (!listener.sendIfOpen(held.bytes[index], held.replies[index].destination)) return;
                outcome.sent = true;
            } catch (const TransportError& error) {
                outcome.refused = error;
            } catch (const std::exception& error) {
                outcome.failure = error.what();
            }
        }
    }

    void sendRest(const HeldReplies& held) {
        for (std::size_t index = 0; index < held.replies.size(); ++index) {
            const auto& reply = held.replies[index];
            const auto& outcome = held.outcomes[index];
            if (outcome.sent)
                sent(reply);
            else if (outcome.refused)
                sendFailed(reply, *outcome.refused, true);
            else if (outcome.failure)
                emit(ServerEvent::info(replyName(reply.type) + " not sent: " + *outcome.failure));
            else
                send(reply, true);
        }
    }

    void handleDatagram(const Datagram& datagram) {
        std::optional<std::string> refusal;
        if (isCardMode()) {
            auto arrival = checkArrival(datagram.interfaceIndex, listener.transport().interfaceIndex(), interfaceName,
                                        host.interfaceNameForIndex);
            if (arrival.unchecked && !std::exchange(recvifWarned, true)) emit(ServerEvent::info(*arrival.unchecked));
            refusal = std::move(arrival.refusal);
        }
        if (!refusal)
            refusal = sourceRefusal({datagram.source, datagram.sourcePort}, {options.mode.clientPort(), isCardMode()},
                                    ownAddresses);
        if (refusal) {
            emit(ServerEvent::dropped(std::move(*refusal), std::nullopt));
            return;
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

    Decision decide(const DHCPPacket& packet, const std::unordered_map<IPv4Address, bool>& probes,
                    std::unordered_set<IPv4Address> probing = {}) {
        // The table goes into the decision and comes back changed, without a copy.
        auto decision = responder.decide(
            packet, DecisionContext{std::move(table), presence.presence(), probes, host.clock(), std::move(probing)});
        table = std::move(decision.table);
        return decision;
    }

    void process(const DHCPPacket& packet, std::unordered_map<IPv4Address, bool> probes) {
        auto decision = decide(packet, probes);
        auto address = decision.action.probeAddress();
        if (!address) {
            apply(std::move(decision));
            return;
        }
        // Another device's probe is out for that address: another one if any is left, else that
        // probe's answer. Devices asking together so get different addresses in one probe round.
        if (auto others = reclaimsForOthers(packet); others.contains(*address)) {
            if (auto elsewhere = decide(packet, probes, std::move(others)).action.probeAddress()) address = elsewhere;
        }
        if (!options.presenceEnabled) {
            probes[*address] = true;
            process(packet, std::move(probes));
            return;
        }
        waitForProbe(*address, packet, std::move(probes));
    }

    // Addresses under a reclaim probe for other devices, except this packet's own earlier address
    // and the one it asks for: for those it waits for the probe's answer.
    std::unordered_set<IPv4Address> reclaimsForOthers(const DHCPPacket& packet) const {
        auto device = packet.mac();
        if (!device) return {};
        auto others = presence.reclaimsForOthersThan(*device);
        if (others.empty()) return others;
        if (auto requested = packet.requestedIP()) others.erase(*requested);
        if (auto own = table.lease(*device)) others.erase(own->ip);
        return others;
    }

    std::optional<MACAddress> holderOf(IPv4Address ip) const {
        auto holder = table.holder(ip, host.clock());
        if (!holder) return std::nullopt;
        return holder->mac;
    }

    // The first device to need an address probed starts the probe; the others wait for its answer.
    void waitForProbe(IPv4Address ip, const DHCPPacket& packet, std::unordered_map<IPv4Address, bool> probes) {
        switch (presence.probeBeforeReclaim(ip, {packet, std::move(probes)})) {
            case PresenceSweep::Wait::probing:
                emit(ServerEvent::info("probing " + ip.description() + " before giving it to another device"));
                break;
            case PresenceSweep::Wait::joined: break;
            case PresenceSweep::Wait::refused:
                emit(ServerEvent::dropped("too many devices waiting for an address", packet.mac()));
                break;
        }
    }

    void apply(Decision decision) {
        auto reply = decision.action.replyValue();
        // Changes no reply waits for (a release, a decline) are flushed a moment later.
        recordChanges(decision.tableChanged && !reply ? LeaseStore::Flush::soon : LeaseStore::Flush::withNextCommit);
        for (auto& event : decision.notes) emit(std::move(event));
        if (reply && bindsAddress(reply->type) && decision.tableChanged)
            heldReplies.push_back(*reply);
        else if (reply)
            send(*reply, true);
        // Outside a read batch (a decision after a probe) the decision commits on its own.
        if (!batching) commit();
    }

    void send(const Reply& reply, bool firstTry) {
        auto type = replyName(reply.type);
        if (!listener.isOpen()) {
            emit(ServerEvent::info(type + " not sent: socket closed"));
            return;
        }
        try {
            listener.transport().send(reply.packet.serialize(DHCPPacket::minimumReplyLength), reply.destination);
            sent(reply);
        } catch (const TransportError& error) {
            sendFailed(reply, error, firstTry);
        } catch (const std::exception& error) {
            emit(ServerEvent::info(type + " not sent: " + error.what()));
        }
    }

    void sent(const Reply& reply) {
        clear(NoticeKind::localNetworkDenied);
        std::vector<std::uint8_t> given;
        given.reserve(reply.packet.options.size());
        for (const auto& field : reply.packet.options) given.push_back(field.code);
        emit(ServerEvent::sent(SentSummary{reply.type, reply.ip, reply.mac, reply.destination, interfaceName,
                                           reply.note, std::move(given)}));
    }

    void sendFailed(const Reply& reply, const TransportError& error, bool firstTry) {
        bool present = std::ranges::any_of(host.interfaceAddresses(), [this](const InterfaceAddress& address) {
            return address.name == interfaceName && address.subnet.address == options.config.serverIP;
        });
        auto step = LocalNetwork::stepAfter(LocalNetwork::classify(error, linkUp, present),
                                            {replyName(reply.type), error.description(), options.config.serverIP,
                                             interfaceName, firstTry, retries.hasRoom()});
        switch (step.kind) {
            case SendFailureStep::Kind::line: emit(ServerEvent::info(step.line)); break;
            case SendFailureStep::Kind::retry:
                retries.after(timers.sendRetryDelay, [this, reply] { send(reply, false); });
                break;
            case SendFailureStep::Kind::notice: raise(Notice::localNetworkDenied()); break;
        }
    }

    // The card, as the run tells of it.

    void cardGone() {
        listener.close();
        setLink(false);
        markAllOffline("adapter unplugged");
    }

    void linkChanged(bool up) {
        if (up == linkUp) return;
        setLink(up);
        if (linkUp)
            presenceCycle();
        else
            markAllOffline("link down");
    }

    void cardBack(const std::string& card, std::unique_ptr<Transport> socket) {
        if (!running) {
            socket->close();
            return;
        }
        if (isCardMode()) interfaceName = card;
        presence.setCard(interfaceName, linkUp);
        listener.listen(std::move(socket));
    }

    void setLink(bool up) {
        linkUp = up;
        presence.setCard(interfaceName, up);
    }

    // Offers that ran out leave the table: their client never came back for the address. The
    // removal is recorded like any change, so the journal and the table stay the same.
    void expireOffers() {
        if (!running) return;
        auto dropped = table.dropExpiredOffers(host.clock());
        if (dropped.empty()) return;
        recordChanges();
        for (const auto& lease : dropped) emit(ServerEvent::leaseRemoved(lease.mac));
    }

    void markAllOffline(const std::string& reason) {
        for (auto& change : presence.markAllOffline(table.leases(), reason)) presenceChanged(std::move(change));
    }

    // Presence.

    void presenceCycle() {
        if (!running || !options.presenceEnabled || !linkUp) return;
        presence.sweep(table.leases(), host.clock());
    }

    void presenceReported(PresenceSweep::Report report) {
        if (auto changed = std::get_if<PresenceSweep::Changed>(&report)) {
            presenceChanged(std::move(*changed));
            return;
        }
        if (auto gaveUp = std::get_if<PresenceSweep::GaveUp>(&report)) {
            for (const auto& waiter : gaveUp->waiters)
                emit(ServerEvent::dropped("waited too long for a probe of " + gaveUp->ip.description(),
                                          waiter.packet.mac()));
            return;
        }
        for (auto& waiter : std::get<PresenceSweep::Probed>(report).waiters)
            process(waiter.packet, std::move(waiter.probes));
    }

    void presenceChanged(PresenceSweep::Changed change) {
        emit(ServerEvent::presence(change.ip, change.mac, change.state, std::move(change.detail)));
    }

    // Requests from the front end.

    void forgetLease(const MACAddress& mac) {
        if (!table.remove(mac)) return;
        removeForGood({mac});
    }

    void clearInactive() {
        auto now = host.clock();
        std::vector<MACAddress> inactive;
        for (const auto& lease : table.leases())
            if (!lease.holdsAddress(now)) inactive.push_back(lease.mac);
        if (table.clearInactive(now) == 0) return;
        removeForGood(std::move(inactive));
    }

    // The front end hears of a removal once its record is on disk: a lease it no longer shows must
    // not come back after a crash. A failed save is said first by its notice, as for an ACK, and
    // the record goes again with the next commit.
    void removeForGood(std::vector<MACAddress> removed) {
        recordChanges();
        store.commit([this, removed = std::move(removed)](bool) {
            for (const auto& mac : removed) emit(ServerEvent::leaseRemoved(mac));
        });
    }
};

DHCPServer::DHCPServer(SerialQueue& loop, Options options, Callbacks callbacks, Seams seams)
    : state_(std::make_shared<State>(loop, std::move(options), std::move(callbacks), std::move(seams))) {}

DHCPServer::~DHCPServer() { state_->abandon(); }

void DHCPServer::open(const std::string& card) { state_->open(card); }

void DHCPServer::begin(bool linkUp) { state_->begin(linkUp); }

void DHCPServer::stop() { state_->stop(); }

void DHCPServer::cardGone() { state_->cardGone(); }

void DHCPServer::linkChanged(bool up) { state_->linkChanged(up); }

bool DHCPServer::needsSocket() const { return state_->running && !state_->listener.isOpen(); }

std::function<std::unique_ptr<Transport>(const std::string& card)> DHCPServer::socketOpener() const {
    return [factory = state_->makeTransport](const std::string& card) {
        auto fresh = factory(TransportMode::interface(card));
        fresh->open();
        return fresh;
    };
}

void DHCPServer::cardBack(const std::string& card, std::unique_ptr<Transport> socket) {
    state_->cardBack(card, std::move(socket));
}

void DHCPServer::setOwnAddresses(std::unordered_set<IPv4Address> addresses) {
    state_->ownAddresses = std::move(addresses);
}

const LeaseTable& DHCPServer::table() const { return state_->table; }

std::optional<MACAddress> DHCPServer::holderOf(IPv4Address ip) const { return state_->holderOf(ip); }

std::vector<MACAddress> DHCPServer::boundDevices() const {
    std::vector<MACAddress> bound;
    for (const auto& lease : state_->table.leases())
        if (lease.state == Lease::State::bound) bound.push_back(lease.mac);
    return bound;
}

void DHCPServer::forgetLease(const MACAddress& mac) { state_->forgetLease(mac); }

void DHCPServer::clearInactive() { state_->clearInactive(); }

void DHCPServer::refreshPresence() { state_->presenceCycle(); }

}  // namespace anvil
