#include "core/server/dhcp_server.hpp"

#include <asio.hpp>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include "core/addressing/timing.hpp"
#include "core/events/packet_summary.hpp"
#include "core/events/serial_queue.hpp"
#include "core/events/serial_queue_state.hpp"
#include "core/leases/lease_journal.hpp"
#include "core/protocol/packet_error.hpp"
#include "core/server/local_network.hpp"
#include "core/server/presence_sweep.hpp"
#include "core/server/responder.hpp"
#include "core/server/source_screen.hpp"
#include "core/server/udp_transport.hpp"

namespace anvil {

namespace {

// Datagrams decided before one save of the lease file covers them all; bounds how long the
// first reply of a burst waits behind the others.
constexpr int batchLimit = 64;
// Replies waiting for their one retry after a refused send.
constexpr std::size_t retryLimit = 64;

// A snapshot is written once the journal has had no change for this long, so that leases.json
// is never more than a few seconds behind while serving.
constexpr auto quietBeforeCompaction = std::chrono::seconds(2);

std::chrono::steady_clock::duration seconds(double value) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(value));
}

}  // namespace

struct DHCPServer::Queues {
    SerialQueue server{"dhcpanvil.server"};
    // Journal flushes run here, off the server's queue, one at a time.
    SerialQueue journal{"dhcpanvil.journal"};
    // Compactions of the lease file run here.
    SerialQueue leases{"dhcpanvil.leases"};
};

struct DHCPServer::Core : std::enable_shared_from_this<DHCPServer::Core> {
    Options options;
    Responder responder;
    ServerHost host;
    TransportFactory makeTransport;
    ServerTimers timers;
    std::shared_ptr<Events> events;
    asio::io_context& context;
    SerialQueue& journalQueue;
    SerialQueue& leaseQueue;

    std::unique_ptr<Transport> transport;
    std::uint64_t transportGeneration = 0;
    std::string interfaceName;
    bool isOpen = false;
    std::optional<asio::posix::stream_descriptor> readSource;
    std::optional<asio::steady_timer> watchTimer;
    std::optional<asio::steady_timer> presenceTimer;
    std::optional<asio::steady_timer> compactionTimer;
    std::optional<asio::steady_timer> expiryTimer;
    std::optional<asio::steady_timer> lingerTimer;
    std::vector<std::shared_ptr<asio::steady_timer>> retryTimers;
    // Probes run as operations on this queue's loop.
    PresenceSweep presence;
    // The transport a reopen opened, or why it could not.
    struct Reopened {
        std::unique_ptr<Transport> transport;
        std::string failure;
    };
    bool reopening = false;
    // Reopens run here; its thread ends with the server, after the opening under way.
    SerialQueue reopenQueue{"dhcpanvil.reopen"};
    // This computer's own addresses, read at start and at each watch step rather than per datagram.
    std::unordered_set<IPv4Address> ownAddresses;

    LeaseTable table;
    bool linkUp = true;
    bool running = false;
    std::set<NoticeKind> raised;
    bool recvifWarned = false;
    bool leaseFileWritable = true;

    // The journal of this run, once the start's snapshot was written; none after a failure to
    // open it (the next save tries again with a whole snapshot).
    std::shared_ptr<LeaseJournal> journal;
    std::chrono::steady_clock::time_point lastCommit;
    // A step of a compaction is out on the lease queue; its answer comes back to this queue.
    bool compactionStepOut = false;
    // Bumped at stop: answers of an earlier compaction are then ignored.
    std::uint64_t compactionGeneration = 0;

    // Group commit: while a batch of datagrams is decided, changed tables only record their
    // changes and replies wait here; one flush then covers them all before any is sent.
    bool batching = false;
    // ACKs wait here until everything recorded before them is on disk. Offers and NAKs promise
    // nothing stored and leave at once: a lost offered lease is only a 60-second hold, so it
    // rides on the next flush.
    bool mustSave = false;
    std::vector<Reply> heldReplies;
    std::vector<Reply> readyReplies;
    // The flush out on the journal queue and the replies waiting for it. Decisions go on
    // meanwhile; what they need flushed goes in the next flush.
    struct Flush {
        LeaseJournal::Batch batch;
        std::string failure;
        bool answered = false;
    };
    std::shared_ptr<Flush> flushing;
    std::vector<Reply> flushingReplies;
    // A prepared compaction waits for the flush out to end before the journal switches.
    std::shared_ptr<LeaseJournal::Compaction> switchWaiting;

    Core(Options options, Seams seams, std::shared_ptr<Events> events, asio::io_context& context,
         SerialQueue& journalQueue, SerialQueue& leaseQueue)
        : options(std::move(options)),
          responder{this->options.config},
          host(std::move(seams.host)),
          makeTransport(std::move(seams.transportFactory)),
          timers(seams.timers),
          events(std::move(events)),
          context(context),
          journalQueue(journalQueue),
          leaseQueue(leaseQueue),
          interfaceName(this->options.mode.interfaceName()),
          presence(context, {host.makeProber, host.readARPTable},
                   [this](PresenceSweep::Report report) { presenceReported(std::move(report)); }) {
        if (!makeTransport) makeTransport = makeSystemTransport;
        presence.setCard(interfaceName, linkUp);
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
        if (isCardMode()) refreshOwnAddresses();
        openTransport();
        running = true;
        emit(ServerEvent::started(interfaceName, options.config));
        for (const auto& lease : table.leases()) emit(ServerEvent::leaseChanged(lease));
        if (isCardMode()) {
            auto media = host.mediaStatus(interfaceName);
            setLink(media.linkUp);
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
        repeat(&Core::compactionTimer, 1, 1, [](Core& core) { core.compactIfQuiet(); });
        repeat(&Core::expiryTimer, timers.offerExpiryInterval, timers.offerExpiryInterval,
               [](Core& core) { core.expireOffers(); });
    }

    void stop() {
        if (!running) return;
        running = false;
        cancelTimers();
        presence.cancel();
        closeTransport();
        compactAtStop();
        emit(ServerEvent::stopped());
        events->finish();
    }

    // Tears down what lives on the queue's executor, without the stop sequence's save and events.
    void shutdown() {
        running = false;
        cancelTimers();
        presence.cancel();
        closeTransport();
        ++compactionGeneration;
        journalQueue.sync([] {});
        leaseQueue.sync([] {});
        events->finish();
    }

    void cancelTimers() {
        watchTimer.reset();
        presenceTimer.reset();
        compactionTimer.reset();
        expiryTimer.reset();
        lingerTimer.reset();
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
            if (loaded.setAsideURL)
                raise(Notice::leaseFileSetAside(*loaded.setAsideURL));
            else if (loaded.journalSetAsideURL)
                raise(Notice::leaseJournalSetAside(*loaded.journalSetAsideURL));
            if (loaded.journalBytesDropped > 0)
                emit(ServerEvent::info(options.leaseFile.journalURL().filename().string() +
                                       " ended in an unfinished write; dropped " +
                                       std::to_string(loaded.journalBytesDropped) + " bytes"));
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
        for (const auto& lease : table.dropExpiredOffers(host.clock())) emit(ServerEvent::leaseRemoved(lease.mac));
        // The start's compaction: one snapshot of everything loaded, and an empty journal.
        table.takeChanges();
        if (leaseFileWritable) save();
    }

    // The table's changes reach the journal as records at the next flush.
    void recordChanges() {
        auto changes = table.takeChanges();
        if (journal && !changes.empty()) journal->record(changes);
    }

    // A synchronous save: the records since the last flush, or without a journal (at start, or
    // after one could not be opened) the whole table.
    void save() {
        if (!leaseFileWritable) return;
        try {
            if (journal)
                journal->flush();
            else
                journal = LeaseJournal::open(options.leaseFile, table);
            clear(NoticeKind::leaseSaveFailed);
        } catch (const std::exception& error) {
            raise(Notice::leaseSaveFailed(error.what()));
            return;
        }
        lastCommit = std::chrono::steady_clock::now();
    }

    // One group commit: the records since the last flush are appended and flushed once on the
    // journal queue, then the replies that waited for them leave, in the order decided. A failed
    // flush still sends (serving goes on with leaseSaveFailed raised), and its records are
    // written again with the next one.
    void startFlush() {
        mustSave = false;
        auto replies = std::exchange(heldReplies, {});
        if (!journal || !leaseFileWritable) {
            save();
            sendAll(replies);
            return;
        }
        auto flush = std::make_shared<Flush>();
        flush->batch = journal->takeUnflushed();
        if (flush->batch.bytes.empty()) {
            sendAll(replies);
            return;
        }
        flushing = flush;
        flushingReplies = std::move(replies);
        journalQueue.async([weak = weak(), context = &context, flush, writer = journal] {
            try {
                writer->write(flush->batch);
            } catch (const std::exception& error) {
                flush->failure = error.what();
            }
            asio::post(*context, [weak, flush] {
                if (auto core = weak.lock()) core->flushEnded(flush);
            });
        });
    }

    void flushEnded(const std::shared_ptr<Flush>& flush) {
        if (flush->answered || flushing != flush) return;
        flush->answered = true;
        flushing.reset();
        if (flush->failure.empty()) {
            journal->written(flush->batch);
            lastCommit = std::chrono::steady_clock::now();
            clear(NoticeKind::leaseSaveFailed);
        } else {
            // Written again with the next commit, as a failed save was retried at the next change.
            journal->unwritten(flush->batch);
            raise(Notice::leaseSaveFailed(flush->failure));
        }
        sendAll(std::exchange(flushingReplies, {}));
        if (!running) return;
        if (auto compaction = std::exchange(switchWaiting, nullptr)) switchJournal(compaction);
        if (mustSave) startFlush();
        if (journal && journal->isLarge()) compact();
    }

    // Waits for the flush out, as if it had ended on this queue.
    void awaitFlush() {
        if (!flushing) return;
        journalQueue.sync([] {});
        auto wasRunning = std::exchange(running, false);
        flushEnded(flushing);
        running = wasRunning;
    }

    // Changes that no reply waits for (a release, a decline, a forgotten lease) are flushed a
    // moment later, so that they share the flush of the next reply when devices keep coming.
    void flushSoon() {
        if (lingerTimer || !running) return;
        lingerTimer.emplace(context, std::chrono::milliseconds(20));
        lingerTimer->async_wait([weak = weak()](const asio::error_code& error) {
            if (error) return;
            auto core = weak.lock();
            if (!core || !core->lingerTimer) return;
            core->lingerTimer.reset();
            if (!core->flushing && core->journal && core->journal->hasUnflushed()) core->startFlush();
        });
    }

    // A change asked for by the user is on disk before the next request is taken.
    void saveRequested() {
        awaitFlush();
        save();
        if (mustSave) startFlush();
    }

    void sendAll(const std::vector<Reply>& replies) {
        for (const auto& reply : replies) send(reply, true);
    }

    // Compaction: a copy of the table becomes the snapshot on the lease queue while commits go
    // on; the journal switches to its next generation here, between two commits.
    void compactIfQuiet() {
        if (journal && journal->hasChangesSinceSnapshot() &&
            std::chrono::steady_clock::now() - lastCommit >= quietBeforeCompaction)
            compact();
    }

    void compact() {
        if (!journal || compactionStepOut) return;
        if (journal->awaitsFinish()) {
            finishCompaction(journal->pendingFinish());
            return;
        }
        if (journal->isCompacting()) return;
        auto compaction = journal->beginCompaction(table);
        onLeaseQueue(compaction, LeaseJournal::prepare, &Core::compactionPrepared);
    }

    using CompactionStep = void (*)(LeaseJournal::Compaction&);
    using CompactionAnswer = void (Core::*)(const std::shared_ptr<LeaseJournal::Compaction>&, const std::string&);

    void onLeaseQueue(std::shared_ptr<LeaseJournal::Compaction> compaction, CompactionStep step,
                      CompactionAnswer answer) {
        compactionStepOut = true;
        leaseQueue.async(
            [weak = weak(), context = &context, generation = compactionGeneration, compaction, step, answer] {
                std::string failure;
                try {
                    step(*compaction);
                } catch (const std::exception& error) {
                    failure = error.what();
                }
                asio::post(*context, [weak, generation, compaction, answer, failure] {
                    auto core = weak.lock();
                    if (!core || core->compactionGeneration != generation || !core->journal) return;
                    core->compactionStepOut = false;
                    ((*core).*answer)(compaction, failure);
                });
            });
    }

    void compactionPrepared(const std::shared_ptr<LeaseJournal::Compaction>& compaction, const std::string& failure) {
        if (!failure.empty()) {
            journal->settle(*compaction, false);
            compactionFailed(failure);
        } else if (flushing) {
            switchWaiting = compaction;
        } else {
            switchJournal(compaction);
        }
    }

    void switchJournal(const std::shared_ptr<LeaseJournal::Compaction>& compaction) {
        try {
            journal->switchTo(*compaction);
        } catch (const std::exception& error) {
            compactionFailed(error.what());
            return;
        }
        finishCompaction(compaction);
    }

    void finishCompaction(const std::shared_ptr<LeaseJournal::Compaction>& compaction) {
        onLeaseQueue(compaction, LeaseJournal::finish, &Core::compactionFinished);
    }

    void compactionFinished(const std::shared_ptr<LeaseJournal::Compaction>& compaction, const std::string& failure) {
        journal->settle(*compaction, failure.empty());
        if (!failure.empty()) compactionFailed(failure);
    }

    // Nothing is lost: the journal keeps every change until a later compaction succeeds.
    void compactionFailed(const std::string& failure) {
        emit(ServerEvent::info("leases.json not rewritten: " + failure));
    }

    void compactAtStop() {
        awaitFlush();
        save();
        sendAll(std::exchange(readyReplies, {}));
        sendAll(std::exchange(heldReplies, {}));
        if (!journal || !leaseFileWritable) return;
        // Let a step under way on the lease queue end; its answer is then ignored.
        ++compactionGeneration;
        compactionStepOut = false;
        switchWaiting.reset();
        leaseQueue.sync([] {});
        try {
            journal->compactNow(table);
        } catch (const std::exception& error) {
            raise(Notice::leaseSaveFailed(error.what()));
        }
        journal.reset();
    }

    // The socket.

    void openTransport() {
        auto mode = isCardMode() ? TransportMode::interface(interfaceName) : options.mode;
        auto fresh = makeTransport(mode);
        fresh->open();
        listenOn(std::move(fresh));
    }

    void listenOn(std::unique_ptr<Transport> fresh) {
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
        sendAll(std::exchange(readyReplies, {}));
        // ACKs go with the next flush, at once or when the one out ends.
        if (mustSave && !flushing) startFlush();
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
        if (auto refusal = sourceRefusal({datagram.source, datagram.sourcePort},
                                         {options.mode.clientPort(), isCardMode()}, ownAddresses)) {
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

    void process(const DHCPPacket& packet, std::unordered_map<IPv4Address, bool> probes) {
        // The table goes into the decision and comes back changed, without a copy.
        auto decision =
            responder.decide(packet, DecisionContext{std::move(table), presence.presence(), probes, host.clock()});
        table = std::move(decision.table);
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
        waitForProbe(*address, packet, std::move(probes));
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
        recordChanges();
        for (auto& event : decision.notes) {
            if (auto notice = event.as<ServerEvent::NoticeRaised>()) raised.insert(notice->notice.kind);
            emit(std::move(event));
        }
        auto reply = decision.action.replyValue();
        if (reply && reply->type == DHCPMessageType::ack) {
            mustSave = true;
            heldReplies.push_back(*reply);
        } else if (reply) {
            readyReplies.push_back(*reply);
        }
        if (decision.tableChanged && !reply) flushSoon();
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
            std::vector<std::uint8_t> given;
            given.reserve(reply.packet.options.size());
            for (const auto& field : reply.packet.options) given.push_back(field.code);
            emit(ServerEvent::sent(SentSummary{reply.type, reply.ip, reply.mac, reply.destination, interfaceName,
                                               reply.note, std::move(given)}));
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
                if (retryAllowed && retryTimers.size() < retryLimit)
                    retryLater(reply);
                else if (retryAllowed)
                    emit(ServerEvent::info(type + " not sent: " + error.description()));
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
        refreshOwnAddresses();
        auto index = host.interfaceIndex(interfaceName);
        if (isOpen) {
            if (index == 0 || index != transport->interfaceIndex()) {
                closeTransport();
                setLink(false);
                markAllOffline("adapter unplugged");
                raise(Notice::adapterUnplugged());
                return;
            }
            auto media = host.mediaStatus(interfaceName);
            if (media.linkUp == linkUp) return;
            setLink(media.linkUp);
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

    void setLink(bool up) {
        linkUp = up;
        presence.setCard(interfaceName, up);
    }

    // Opening may ask the privilege helper and take seconds, so it happens on the reopen queue
    // while this one goes on serving requests; one opening at a time, and a stop meanwhile wins.
    void reopen(std::uint32_t currentIndex) {
        if (reopening) return;
        std::optional<std::string> name;
        if (options.cardMAC) name = host.bsdName(*options.cardMAC);
        if (!name && currentIndex != 0) name = interfaceName;
        if (!name) return;
        interfaceName = *name;
        reopening = true;
        reopenQueue.async([weak = weak(), loop = &context, factory = makeTransport, name = *name] {
            auto opened = std::make_shared<Reopened>();
            try {
                auto fresh = factory(TransportMode::interface(name));
                fresh->open();
                opened->transport = std::move(fresh);
            } catch (const std::exception& error) {
                opened->failure = error.what();
            }
            asio::post(*loop, [weak, name, opened] {
                if (auto core = weak.lock()) core->reopened(name, std::move(*opened));
            });
        });
    }

    void reopened(const std::string& name, Reopened opened) {
        reopening = false;
        if (!running) {
            if (opened.transport) opened.transport->close();
            return;
        }
        if (!opened.transport) {
            emit(ServerEvent::info("could not reopen " + name + ": " + opened.failure));
            return;
        }
        listenOn(std::move(opened.transport));
        clear(NoticeKind::adapterUnplugged);
        emit(ServerEvent::info(name + " is back"));
        auto media = host.mediaStatus(name);
        setLink(media.linkUp);
        emit(ServerEvent::link(media.linkUp, media.description));
        if (linkUp)
            clear(NoticeKind::linkDown);
        else
            raise(Notice::linkDown(name));
    }

    void refreshOwnAddresses() {
        ownAddresses.clear();
        for (const auto& address : host.interfaceAddresses()) ownAddresses.insert(address.subnet.address);
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
        for (auto& waiter : std::get<PresenceSweep::Probed>(report).waiters)
            process(waiter.packet, std::move(waiter.probes));
    }

    void presenceChanged(PresenceSweep::Changed change) {
        emit(ServerEvent::presence(change.ip, change.mac, change.state, std::move(change.detail)));
    }

    // Requests from the front end.

    void forgetLease(const MACAddress& mac) {
        if (!table.remove(mac)) return;
        recordChanges();
        emit(ServerEvent::leaseRemoved(mac));
        saveRequested();
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
        recordChanges();
        saveRequested();
    }
};

DHCPServer::DHCPServer(Options options) : DHCPServer(std::move(options), Seams{}) {}

DHCPServer::DHCPServer(Options options, Seams seams)
    : events_(std::make_shared<Events>()), queues_(std::make_unique<Queues>()) {
    core_ = std::make_shared<Core>(std::move(options), std::move(seams), events_, queues_->server.state().context,
                                   queues_->journal, queues_->leases);
}

DHCPServer::~DHCPServer() {
    auto core = core_;
    // Probes still out are cancelled there, so nothing here waits for one to time out.
    queues_->server.sync([core] { core->shutdown(); });
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
