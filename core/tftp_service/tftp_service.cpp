#include "core/tftp_service/tftp_service.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <utility>
#include <variant>
#include <vector>

#include "core/addressing/system_clock.hpp"
#include "core/events/line_cap.hpp"
#include "core/host/boot_folder.hpp"
#include "core/host/preflight.hpp"
#include "core/host/tftp_sockets.hpp"
#include "core/tftp/tftp_admission.hpp"
#include "core/tftp/tftp_limits.hpp"
#include "core/tftp/tftp_options.hpp"
#include "core/tftp/tftp_packet.hpp"
#include "core/tftp/tftp_path.hpp"
#include "core/tftp/tftp_texts.hpp"
#include "core/tftp/tftp_transfer.hpp"

namespace anvil {

namespace {

// Datagrams read per wake-up, so one busy socket cannot hold the loop.
constexpr int readLimit = 64;
// Progress events of one transfer are at least this far apart.
constexpr double progressSpacing = 0.25;

std::string optionsText(const TFTPOptions& options) {
    std::string text;
    for (const auto& option : options) {
        if (!text.empty()) text += ' ';
        text += option.name + '=' + option.value;
    }
    return text;
}

// Reads exactly `length` bytes at `offset`; fewer means the file got shorter.
bool readBlock(int fd, std::uint64_t offset, std::size_t length, Bytes& into) {
    into.resize(length);
    std::size_t done = 0;
    while (done < length) {
        auto count = ::pread(fd, into.data() + done, length - done, static_cast<off_t>(offset + done));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

struct Transfer {
    Transfer(asio::io_context& loop, TFTPTransfer machine) : socket(loop), timer(loop), machine(std::move(machine)) {}

    std::uint32_t id = 0;
    IPv4Address client;
    std::uint16_t clientPort = 0;
    std::optional<MACAddress> mac;
    std::string file;  // as the client asked for it
    int fileFD = -1;
    asio::posix::stream_descriptor socket;
    asio::steady_timer timer;
    TFTPTransfer machine;
    Date startedAt;
    Date lastProgress;
    std::uint64_t lastProgressBytes = 0;
    std::uint64_t timerGeneration = 0;
    bool closed = false;
};

struct TFTPService::State : std::enable_shared_from_this<TFTPService::State> {
    asio::io_context& loop;
    Place place;
    BootConfig boot;
    Callbacks callbacks;

    int folderFD = -1;
    std::optional<asio::posix::stream_descriptor> listener;
    // What `listener` waits on, and owns the descriptor: the socket, or the helper's relay of it.
    TFTPListener held;
    std::uint16_t boundPort = 0;
    std::uint64_t listenGeneration = 0;
    bool running = false;
    std::map<std::uint32_t, std::shared_ptr<Transfer>> transfers;
    std::uint32_t nextTransfer = 1;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(largestDatagram);
    Bytes block;
    // Normalised name to the file the user chose for it.
    std::map<std::string, std::filesystem::path> given;
    // Anyone on the cable can send requests as fast as the wire goes; their lines are capped.
    LineCap requestLines{tftpRequestLinesPerSecond};
    asio::steady_timer summaryTimer;
    bool summaryPending = false;

    State(asio::io_context& loop, Place place, BootConfig boot, Callbacks callbacks)
        : loop(loop),
          place(std::move(place)),
          boot(std::move(boot)),
          callbacks(std::move(callbacks)),
          summaryTimer(loop) {
        if (!this->callbacks.clock) this->callbacks.clock = systemNow;
    }

    void emit(ServerEvent event) {
        if (callbacks.emit) callbacks.emit(std::move(event));
    }

    std::int64_t currentSecond() { return static_cast<std::int64_t>(callbacks.clock().secondsSince1970); }

    // A line a request provoked: shown while this second's share lasts, else counted.
    void requestLine(ServerEvent event) {
        auto second = currentSecond();
        sumUpHeldBack(second);
        if (requestLines.admit(second)) return emit(std::move(event));
        if (std::exchange(summaryPending, true)) return;
        summaryTimer.expires_after(std::chrono::milliseconds(1100));
        summaryTimer.async_wait([weak = weak_from_this()](const asio::error_code& error) {
            auto self = weak.lock();
            if (error || !self) return;
            self->summaryPending = false;
            self->sumUpHeldBack(self->currentSecond());
        });
    }

    void sumUpHeldBack(std::int64_t second) {
        if (auto held = requestLines.takeHeldBack(second))
            emit(ServerEvent::info(heldBackSentence(*held, "TFTP requests")));
    }

    TFTPSourceFacts sourceFacts() {
        if (callbacks.sources) return callbacks.sources();
        TFTPSourceFacts facts;
        facts.loopbackMode = place.card.empty();
        return facts;
    }

    std::optional<MACAddress> macOf(IPv4Address ip) { return callbacks.macOf ? callbacks.macOf(ip) : std::nullopt; }

    // Start and stop.

    void start() {
        if (running) return;
        openFolder();
        auto opened = place.card.empty() ? openTFTPLoopbackListener(place.loopbackPort)
                      : callbacks.openListener ? callbacks.openListener(place.card)
                                               : openTFTPListener(place.card);
        if (auto failure = std::get_if<SocketFailure>(&opened)) {
            if (folderFD >= 0) ::close(std::exchange(folderFD, -1));
            throw startError(*failure);
        }
        listen(std::get<TFTPListener>(opened));
    }

    void openFolder() {
        if (boot.folder.empty() || folderFD >= 0) return;
        auto folder = openBootFolder(boot.folder);
        if (auto failure = std::get_if<BootFolderFailure>(&folder))
            throw TFTPStartError(failure->description(), failure->code);
        folderFD = std::get<int>(folder);
    }

    TFTPStartError startError(const SocketFailure& failure) const {
        auto where = place.card.empty() ? "127.0.0.1:" + std::to_string(place.loopbackPort)
                                        : "port 69 on " + place.card;
        auto holder = place.card.empty() || failure.code != EADDRINUSE ? std::nullopt : Preflight::portHolder(69);
        auto sentence = failure.code == EADDRINUSE
                            ? "TFTP " + where + " is in use by " + holder.value_or("another program") + " (" +
                                  failure.description() + ")"
                            : "cannot open TFTP " + where + ": " + failure.description();
        return TFTPStartError(sentence, failure.code);
    }

    void listen(TFTPListener opened) {
        held = opened;
        boundPort = held.port;
        listener.emplace(loop, held.fd);
        running = true;
        ++listenGeneration;
        waitForRequests();
    }

    // The card left: its port and transfers go, the folder stays open for its return.
    void pause() {
        int folder = std::exchange(folderFD, -1);
        stop();
        folderFD = folder;
    }

    void resume(std::string card, TFTPListener opened) {
        pause();
        place.card = std::move(card);
        try {
            openFolder();
        } catch (...) {
            closeTFTPListener(opened);
            throw;
        }
        listen(opened);
    }

    void stop() {
        // A paused service holds the folder alone.
        if (!running && folderFD >= 0) ::close(std::exchange(folderFD, -1));
        if (!running) return;
        running = false;
        summaryTimer.cancel();
        summaryPending = false;
        if (listener) {
            asio::error_code ignored;
            listener->cancel(ignored);
            listener->release();
            listener.reset();
        }
        closeTFTPListener(held);
        while (!transfers.empty()) close(*transfers.begin()->second);
        if (folderFD >= 0) ::close(std::exchange(folderFD, -1));
    }

    // Requests.

    void waitForRequests() {
        listener->async_wait(asio::posix::stream_descriptor::wait_read,
                             [weak = weak_from_this(), generation = listenGeneration](const asio::error_code& error) {
                                 auto self = weak.lock();
                                 if (error || !self || !self->listening(generation)) return;
                                 self->readRequests();
                                 if (self->listening(generation)) self->waitForRequests();
                             });
    }

    bool listening(std::uint64_t generation) const { return running && listener && generation == listenGeneration; }

    void readRequests() {
        for (int count = 0; count < readLimit && listener; ++count) {
            auto reception = receiveRequest(held, buffer);
            if (std::holds_alternative<NothingWaiting>(reception)) return;
            if (auto ended = std::get_if<ListenerEnded>(&reception)) {
                stop();
                auto why = ended->reason.empty() ? "dhcpanvil-helper exited" : ended->reason;
                emit(ServerEvent::info("TFTP on " + place.card + " stopped: " + why));
                return;
            }
            if (auto failure = std::get_if<SocketFailure>(&reception)) {
                // ICMP errors of earlier sends surface here; they concern no request.
                if (failure->code == ECONNREFUSED || failure->code == EHOSTUNREACH || failure->code == ENETUNREACH)
                    continue;
                emit(ServerEvent::info("TFTP receive failed: " + failure->description()));
                return;
            }
            request(std::get<ReceivedDatagram>(reception));
        }
    }

    void drop(const ReceivedDatagram& datagram, const std::string& reason) {
        requestLine(ServerEvent::dropped(
            "TFTP from " + datagram.source.description() + ":" + std::to_string(datagram.sourcePort) + ": " + reason,
            macOf(datagram.source)));
    }

    void answerRequest(const ReceivedDatagram& datagram, TFTPErrorCode code, std::string_view text) {
        if (listener) sendFromListener(held, encodeTFTPError(code, text), datagram.source, datagram.sourcePort);
    }

    void request(const ReceivedDatagram& datagram) {
        // Before anything is parsed or answered: a request from elsewhere gets no reply at all.
        if (auto refusal = tftpSourceRefusal(datagram.source, sourceFacts())) return drop(datagram, *refusal);
        if (datagram.sourcePort == 0) return drop(datagram, "sent from port 0");
        if (datagram.truncated) return drop(datagram, "longer than any TFTP request");
        auto parsed = parseTFTPPacket(buffer.data(), datagram.length);
        if (auto error = std::get_if<TFTPParseError>(&parsed)) {
            drop(datagram, "malformed (" + error->description() + ")");
            // A request we could not read is worth telling its sender; anything else gets no answer.
            bool looksLikeRequest = datagram.length >= 2 && buffer[0] == 0 && (buffer[1] == 1 || buffer[1] == 2);
            if (looksLikeRequest) answerRequest(datagram, TFTPErrorCode::illegalOperation, TFTPText::illegalOperation);
            return;
        }
        auto* packet = std::get_if<TFTPRequest>(&std::get<TFTPPacket>(parsed));
        if (!packet) return drop(datagram, "not a request on the request port");
        const auto& asked = *packet;
        // A repeated request of a transfer under way: its own retransmissions answer it.
        for (const auto& [id, transfer] : transfers)
            if (transfer->client == datagram.source && transfer->clientPort == datagram.sourcePort) return;

        auto id = nextTransfer++;
        auto mac = macOf(datagram.source);
        auto refuse = [&](TFTPErrorCode code, std::string_view clientText, TFTPFailureReason reason,
                          std::string detail) {
            answerRequest(datagram, code, clientText);
            requestLine(ServerEvent::tftpFailed(id, datagram.source, mac, asked.fileName, reason, std::move(detail)));
        };
        if (asked.write)
            return refuse(TFTPErrorCode::accessViolation, TFTPText::readOnly, TFTPFailureReason::refusedPath,
                          std::string(TFTPText::writeRefused));
        if (asked.mode == "mail")
            return refuse(TFTPErrorCode::illegalOperation, TFTPText::illegalOperation, TFTPFailureReason::refusedPath,
                          std::string(TFTPText::mailModeRefused));
        std::vector<TFTPSlot> slots;
        slots.reserve(transfers.size());
        // Transfer ids grow, so the map's order is the order they started in.
        for (const auto& [running, transfer] : transfers)
            slots.push_back({running, transfer->client, transfer->machine.wasAcknowledged()});
        auto admission = admitTFTPTransfer(slots, datagram.source, mac.has_value());
        if (admission.refusal)
            return refuse(TFTPErrorCode::notDefined, TFTPText::serverBusy, TFTPFailureReason::busy,
                          std::string(description(*admission.refusal)));
        auto normalized = normalizeTFTPPath(asked.fileName);
        if (auto refusal = std::get_if<TFTPPathRefusal>(&normalized))
            return refuse(TFTPErrorCode::fileNotFound, TFTPText::fileNotFound, TFTPFailureReason::refusedPath,
                          refusal->description());
        const auto& name = std::get<std::string>(normalized);
        std::variant<OpenedBootFile, BootFileRefusal> opened;
        if (auto chosen = given.find(name); chosen != given.end()) {
            opened = openGiven(chosen->second);
        } else if (folderFD < 0) {
            refuse(TFTPErrorCode::fileNotFound, TFTPText::fileNotFound, TFTPFailureReason::notInFolder,
                   "not among the files given");
            if (callbacks.raise) callbacks.raise(Notice::bootFileNotGiven(asked.fileName));
            return;
        } else {
            opened = openBeneath(folderFD, name);
        }
        if (auto refusal = std::get_if<BootFileRefusal>(&opened)) {
            switch (refusal->kind) {
                case BootFileRefusal::Kind::notFound:
                    refuse(TFTPErrorCode::fileNotFound, TFTPText::fileNotFound, TFTPFailureReason::notInFolder,
                           refusal->detail);
                    if (callbacks.raise) callbacks.raise(Notice::bootFileMissing(asked.fileName, boot.folder));
                    return;
                case BootFileRefusal::Kind::outsideFolder:
                case BootFileRefusal::Kind::notAFile:
                    return refuse(TFTPErrorCode::fileNotFound, TFTPText::fileNotFound, TFTPFailureReason::refusedPath,
                                  refusal->detail);
                case BootFileRefusal::Kind::unreadable:
                    return refuse(TFTPErrorCode::accessViolation, TFTPText::accessViolation,
                                  TFTPFailureReason::unreadable, refusal->detail);
            }
            return;
        }
        auto file = std::get<OpenedBootFile>(opened);
        // The reply leaves from the address the request was sent to; a broadcast one from the card's.
        auto local = datagram.arrival && datagram.arrival->localAddress != IPv4Address::zero
                         ? datagram.arrival->localAddress
                         : place.serverAddress;
        auto socket = openTransferSocket(local, place.card);
        if (auto failure = std::get_if<SocketFailure>(&socket)) {
            ::close(file.fd);
            return refuse(TFTPErrorCode::notDefined, TFTPText::transferNotStarted, TFTPFailureReason::busy,
                          failure->description());
        }
        auto transferSocket = std::get<TransferSocket>(socket);
        // Connected, so that the kernel hands this socket only the client's own packets.
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(datagram.sourcePort);
        peer.sin_addr.s_addr = htonl(datagram.source.value);
        if (::connect(transferSocket.fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
            auto code = errno;
            ::close(transferSocket.fd);
            ::close(file.fd);
            return refuse(TFTPErrorCode::notDefined, TFTPText::transferNotStarted, TFTPFailureReason::busy,
                          SocketFailure{"connect " + datagram.source.description(), code}.description());
        }

        if (admission.evicts) evict(*admission.evicts, datagram.source);
        // Netascii is served as octet: boot files are binary, and every boot client asks for octet.
        auto negotiation = negotiateTFTPOptions(asked.options, file.size, boot.blockSizeCeiling);
        auto transfer = std::make_shared<Transfer>(loop, TFTPTransfer(file.size, negotiation));
        transfer->id = id;
        transfer->client = datagram.source;
        transfer->clientPort = datagram.sourcePort;
        transfer->mac = mac;
        transfer->file = asked.fileName;
        transfer->fileFD = file.fd;
        transfer->socket.assign(transferSocket.fd);
        transfer->startedAt = transfer->lastProgress = callbacks.clock();
        transfers.emplace(id, transfer);
        requestLine(ServerEvent::tftpRequested(id, datagram.source, datagram.sourcePort, mac, asked.fileName,
                                               optionsText(asked.options)));
        waitForPackets(transfer);
        apply(*transfer, transfer->machine.start());
    }

    // A file the user chose, read-only and never through a link.
    static std::variant<OpenedBootFile, BootFileRefusal> openGiven(const std::filesystem::path& source) {
        int fd = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            auto code = errno;
            auto kind = code == ENOENT ? BootFileRefusal::Kind::notFound
                        : code == ELOOP ? BootFileRefusal::Kind::notAFile
                                        : BootFileRefusal::Kind::unreadable;
            return BootFileRefusal{kind, source.string() + ": " + std::strerror(code)};
        }
        struct stat status {};
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            ::close(fd);
            return BootFileRefusal{BootFileRefusal::Kind::notAFile, source.string() + " is not a regular file"};
        }
        return OpenedBootFile{fd, static_cast<std::uint64_t>(status.st_size)};
    }

    // Transfers.

    void waitForPackets(const std::shared_ptr<Transfer>& transfer) {
        transfer->socket.async_wait(asio::posix::stream_descriptor::wait_read,
                                    [weak = weak_from_this(), transfer](const asio::error_code& error) {
                                        auto self = weak.lock();
                                        if (error || !self || transfer->closed) return;
                                        self->readPackets(*transfer);
                                        if (!transfer->closed) self->waitForPackets(transfer);
                                    });
    }

    void readPackets(Transfer& transfer) {
        for (int count = 0; count < readLimit && !transfer.closed; ++count) {
            auto reception = receiveDatagram(transfer.socket.native_handle(), buffer);
            if (std::holds_alternative<NothingWaiting>(reception)) return;
            // A refused earlier send (the client's port closed) is one lost datagram; retransmission decides.
            if (std::holds_alternative<SocketFailure>(reception)) continue;
            const auto& datagram = std::get<ReceivedDatagram>(reception);
            if (datagram.source != transfer.client || datagram.sourcePort != transfer.clientPort) {
                sendDatagram(transfer.socket.native_handle(),
                             encodeTFTPError(TFTPErrorCode::unknownTransferID, TFTPText::unknownTransferID),
                             datagram.source, datagram.sourcePort);
                continue;
            }
            if (datagram.truncated) continue;
            auto parsed = parseTFTPPacket(buffer.data(), datagram.length);
            // A garbled datagram is as good as lost; the transfer's timer covers it.
            if (!std::holds_alternative<TFTPPacket>(parsed)) continue;
            apply(transfer, transfer.machine.onPacket(std::get<TFTPPacket>(parsed)));
        }
    }

    void arm(const std::shared_ptr<Transfer>& transfer) {
        auto generation = ++transfer->timerGeneration;
        transfer->timer.expires_after(std::chrono::seconds(transfer->machine.options().timeoutOrDefault()));
        transfer->timer.async_wait([weak = weak_from_this(), transfer, generation](const asio::error_code& error) {
            auto self = weak.lock();
            if (error || !self || transfer->closed || generation != transfer->timerGeneration) return;
            self->apply(*transfer, transfer->machine.onTimeout());
        });
    }

    void send(Transfer& transfer, const Bytes& bytes) {
        // A full queue or a refused send is a lost datagram; retransmission covers it.
        sendDatagram(transfer.socket.native_handle(), bytes, transfer.client, transfer.clientPort);
    }

    void apply(Transfer& transfer, const TFTPStep& step) {
        for (const auto& item : step.sends) {
            if (auto bytes = std::get_if<Bytes>(&item)) {
                send(transfer, *bytes);
                continue;
            }
            const auto& data = std::get<TFTPDataBlock>(item);
            if (!readBlock(transfer.fileFD, data.offset, data.length, block)) {
                send(transfer, encodeTFTPError(TFTPErrorCode::notDefined, TFTPText::fileChanged));
                return end(transfer, TFTPFailureReason::unreadable, std::string(TFTPText::fileShrank));
            }
            send(transfer, encodeTFTPData(data.block, block));
        }
        if (step.outcome == TFTPOutcome::finished) return finish(transfer);
        if (step.outcome == TFTPOutcome::failed) {
            auto failure = step.failure.value_or(TFTPFailure{});
            auto reason = failure.kind == TFTPFailure::Kind::timedOut ? TFTPFailureReason::timedOut
                                                                      : TFTPFailureReason::clientError;
            return end(transfer, reason, failure.description());
        }
        if (step.restartTimer) arm(transfers.at(transfer.id));
        progress(transfer, false);
    }

    void progress(Transfer& transfer, bool last) {
        auto now = callbacks.clock();
        auto bytes = transfer.machine.bytesAcknowledged();
        if (bytes == transfer.lastProgressBytes && !last) return;
        if (!last && now.secondsSince(transfer.lastProgress) < progressSpacing) return;
        transfer.lastProgress = now;
        transfer.lastProgressBytes = bytes;
        emit(ServerEvent::tftpProgress(transfer.id, transfer.client, transfer.mac, transfer.file, bytes,
                                       transfer.machine.fileSize()));
    }

    void finish(Transfer& transfer) {
        progress(transfer, true);
        auto seconds = std::max(0.0, callbacks.clock().secondsSince(transfer.startedAt));
        emit(ServerEvent::tftpFinished(transfer.id, transfer.client, transfer.mac, transfer.file,
                                       transfer.machine.fileSize(), seconds));
        if (callbacks.clear) callbacks.clear(NoticeKind::bootFileMissing);
        close(transfer);
    }

    void end(Transfer& transfer, TFTPFailureReason reason, std::string detail) {
        emit(ServerEvent::tftpFailed(transfer.id, transfer.client, transfer.mac, transfer.file, reason,
                                     std::move(detail)));
        close(transfer);
    }

    // Its client never acknowledged anything; a device holding a lease needs the slot.
    void evict(std::uint32_t id, IPv4Address taker) {
        auto found = transfers.find(id);
        if (found == transfers.end()) return;
        auto& transfer = *found->second;
        send(transfer, encodeTFTPError(TFTPErrorCode::notDefined, TFTPText::serverBusy));
        end(transfer, TFTPFailureReason::busy, TFTPText::slotTaken(taker.description()));
    }

    void close(Transfer& transfer) {
        transfer.closed = true;
        asio::error_code ignored;
        transfer.timer.cancel();
        transfer.socket.cancel(ignored);
        transfer.socket.close(ignored);
        if (transfer.fileFD >= 0) ::close(std::exchange(transfer.fileFD, -1));
        transfers.erase(transfer.id);
    }
};

TFTPService::TFTPService(asio::io_context& loop, Place place, BootConfig boot, Callbacks callbacks)
    : state_(std::make_shared<State>(loop, std::move(place), std::move(boot), std::move(callbacks))) {}

TFTPService::~TFTPService() { state_->stop(); }

void TFTPService::start() { state_->start(); }

void TFTPService::stop() { state_->stop(); }

void TFTPService::pause() { state_->pause(); }

void TFTPService::resume(std::string card, TFTPListener listener) { state_->resume(std::move(card), listener); }

void TFTPService::restart(std::string card) {
    state_->stop();
    state_->place.card = std::move(card);
    state_->start();
}

bool TFTPService::serveFileAs(const std::string& name, const std::filesystem::path& source) {
    auto normalized = normalizeTFTPPath(name);
    if (!std::holds_alternative<std::string>(normalized)) return false;
    auto& given = state_->given;
    const auto& key = std::get<std::string>(normalized);
    if (!given.count(key) && given.size() >= givenFileCapacity) return false;
    given[key] = source;
    return true;
}

void TFTPService::forgetGivenFiles() { state_->given.clear(); }

bool TFTPService::isRunning() const { return state_->running; }

std::uint16_t TFTPService::port() const { return state_->boundPort; }

std::size_t TFTPService::activeTransfers() const { return state_->transfers.size(); }

}  // namespace anvil
