#include "core/tftp_service/tftp_service.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "core/addressing/system_clock.hpp"
#include "core/events/line_cap.hpp"
#include "core/events/serial_queue.hpp"
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

// Bytes read ahead of the furthest block sent: two windows, within these, so that a fast disk is
// asked once for many blocks and a client never waits for a read it could have had.
constexpr std::uint64_t readAheadFloor = 64 << 10;
constexpr std::uint64_t readAheadCeiling = 1 << 20;

// Up to `length` bytes at `offset`; fewer where the file ends or the read fails.
Bytes readAt(int fd, std::uint64_t offset, std::size_t length) {
    Bytes bytes(length);
    std::size_t done = 0;
    while (done < length) {
        auto count = ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        done += static_cast<std::size_t>(count);
    }
    bytes.resize(done);
    return bytes;
}

// A file the user chose, read-only and never through a link.
std::variant<OpenedBootFile, BootFileRefusal> openGivenFile(const std::filesystem::path& source) {
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

// Size and change times: bytes read under one stamp are still the file's while it holds.
using FileStamp = std::array<std::int64_t, 5>;

std::optional<FileStamp> stampOf(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return std::nullopt;
    return FileStamp{status.st_size, status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_ctim.tv_sec,
                     status.st_ctim.tv_nsec};
}

// A descriptor the loop and the worker share. The loop may let go while the worker reads it, so
// it is closed once, by whichever side is last; a read queued after the loop let go never runs.
class SharedFile {
public:
    explicit SharedFile(int fd) : fd_(fd) {}
    ~SharedFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;

    // On the worker: false, without calling `work`, once the loop let go.
    template <typename Work>
    bool use(Work&& work) {
        {
            std::lock_guard lock(mutex_);
            if (released_) return false;
            inUse_ = true;
        }
        work(fd_);
        std::lock_guard lock(mutex_);
        inUse_ = false;
        if (released_) closeNow();
        return true;
    }

    // On the loop: closes now, or when the worker's running use ends.
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        if (!inUse_) closeNow();
    }

    // On the loop, before it let go (the descriptor changes only after that).
    int fd() const { return fd_; }

private:
    void closeNow() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

    std::mutex mutex_;
    int fd_ = -1;
    bool inUse_ = false;
    bool released_ = false;
};

struct OpenedFile {
    std::shared_ptr<SharedFile> file;
    std::uint64_t size = 0;
};

// A read request whose file is being opened on the worker.
struct AskedFile {
    std::uint32_t id = 0;
    IPv4Address source;
    std::uint16_t sourcePort = 0;
    IPv4Address local;  // where the reply leaves from
    std::optional<MACAddress> mac;
    TFTPRequest request;
};

}  // namespace

struct Transfer {
    Transfer(asio::io_context& loop, TFTPTransfer machine) : socket(loop), timer(loop), machine(std::move(machine)) {}

    std::uint32_t id = 0;
    IPv4Address client;
    std::uint16_t clientPort = 0;
    std::optional<MACAddress> mac;
    std::string file;  // as the client asked for it
    std::shared_ptr<SharedFile> fileHandle;
    asio::posix::stream_descriptor socket;
    asio::steady_timer timer;
    TFTPTransfer machine;
    Date startedAt;
    Date lastProgress;
    std::uint64_t lastProgressBytes = 0;
    std::uint64_t timerGeneration = 0;
    bool closed = false;
    bool waitingForPackets = false;

    // The file from `cacheOffset` as read on the worker: blocks not yet acknowledged and those read
    // ahead, so that a retransmission resends the same bytes and a fast disk costs no round trip.
    Bytes cache;
    std::uint64_t cacheOffset = 0;
    std::optional<FileStamp> cacheStamp;
    std::uint64_t sentEnd = 0;  // where the furthest block sent ends
    bool reading = false;       // a read of this file is out on the worker

    // A step whose sends wait for bytes being read. Until they are sent the transfer's packets stay
    // in its socket and a time-out waits, so everything happens in the order it would without the wait.
    struct Unsent {
        TFTPStep step;
        std::size_t next = 0;
        std::uint64_t readUpTo = 0;  // the end of the last read asked for this step
    };
    std::optional<Unsent> unsent;
    std::optional<std::uint64_t> lateTimeout;  // the generation of a time-out that came meanwhile

    bool cached(std::uint64_t offset, std::size_t length) const {
        return length == 0 || (offset >= cacheOffset && offset + length <= cacheOffset + cache.size());
    }
};

struct TFTPService::State : std::enable_shared_from_this<TFTPService::State> {
    asio::io_context& loop;
    Place place;
    BootConfig boot;
    Callbacks callbacks;
    Seams seams;

    std::shared_ptr<SharedFile> folder;
    std::optional<asio::posix::stream_descriptor> listener;
    // What `listener` waits on, and owns the descriptor: the socket, or the helper's relay of it.
    TFTPListener held;
    std::uint16_t boundPort = 0;
    std::uint64_t listenGeneration = 0;
    bool running = false;
    std::map<std::uint32_t, std::shared_ptr<Transfer>> transfers;
    std::uint32_t nextTransfer = 1;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(largestDatagram);
    // A request's file is being opened: the request port is read again once it is.
    bool opening = false;
    // False once stopped, so that opens still queued for the worker are skipped.
    std::shared_ptr<std::atomic<bool>> runToken = std::make_shared<std::atomic<bool>>(false);
    // Normalised name to the file the user chose for it.
    std::map<std::string, std::filesystem::path> given;
    // Anyone on the cable can send requests as fast as the wire goes; their lines are capped.
    LineCap requestLines{tftpRequestLinesPerSecond};
    asio::steady_timer summaryTimer;
    bool summaryPending = false;
    // Opens and reads, one at a time, off the loop. Last, so it is gone first: its destruction
    // waits for the one call that may be running (whose answer goes to the loop and may touch
    // `seams`) and skips the queued ones, whose files were let go.
    SerialQueue worker{"dhcpanvil.tftp"};

    State(asio::io_context& loop, Place place, BootConfig boot, Callbacks callbacks, Seams seams)
        : loop(loop),
          place(std::move(place)),
          boot(std::move(boot)),
          callbacks(std::move(callbacks)),
          seams(std::move(seams)),
          summaryTimer(loop) {
        if (!this->callbacks.clock) this->callbacks.clock = systemNow;
        if (!this->seams.openBeneath)
            this->seams.openBeneath = [](int folderFD, const std::string& name) { return openBeneath(folderFD, name); };
        if (!this->seams.openGiven) this->seams.openGiven = openGivenFile;
        if (!this->seams.read) this->seams.read = readAt;
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
            releaseFolder();
            throw startError(*failure);
        }
        listen(std::get<TFTPListener>(opened));
    }

    void openFolder() {
        if (boot.folder.empty() || folder) return;
        auto opened = openBootFolder(boot.folder);
        if (auto failure = std::get_if<BootFolderFailure>(&opened))
            throw TFTPStartError(failure->description(), failure->code);
        folder = std::make_shared<SharedFile>(std::get<int>(opened));
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
        runToken = std::make_shared<std::atomic<bool>>(true);
        ++listenGeneration;
        waitForRequests();
    }

    // The card left: its port and transfers go, the folder stays open for its return.
    void pause() {
        auto kept = std::exchange(folder, nullptr);
        stop();
        folder = std::move(kept);
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
        if (!running) return releaseFolder();
        running = false;
        runToken->store(false);
        opening = false;
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
        releaseFolder();
    }

    void releaseFolder() {
        if (folder) std::exchange(folder, nullptr)->release();
    }

    // Requests.

    void waitForRequests() {
        listener->async_wait(asio::posix::stream_descriptor::wait_read,
                             [weak = weak_from_this(), generation = listenGeneration](const asio::error_code& error) {
                                 auto self = weak.lock();
                                 if (error || !self || !self->listening(generation)) return;
                                 self->readRequests();
                                 if (self->listening(generation) && !self->opening) self->waitForRequests();
                             });
    }

    bool listening(std::uint64_t generation) const { return running && listener && generation == listenGeneration; }

    void readRequests() {
        for (int count = 0; count < readLimit && listener && !opening; ++count) {
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

    void answerRequest(IPv4Address client, std::uint16_t clientPort, TFTPErrorCode code, std::string_view text) {
        if (listener) sendFromListener(held, encodeTFTPError(code, text), client, clientPort);
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
            if (looksLikeRequest)
                answerRequest(datagram.source, datagram.sourcePort, TFTPErrorCode::illegalOperation, TFTPText::illegalOperation);
            return;
        }
        auto* packet = std::get_if<TFTPRequest>(&std::get<TFTPPacket>(parsed));
        if (!packet) return drop(datagram, "not a request on the request port");
        // A repeated request of a transfer under way: its own retransmissions answer it.
        for (const auto& [id, transfer] : transfers)
            if (transfer->client == datagram.source && transfer->clientPort == datagram.sourcePort) return;

        AskedFile asked{nextTransfer++, datagram.source, datagram.sourcePort,
                        // The reply leaves from the address the request was sent to; a broadcast one
                        // from the card's.
                        datagram.arrival && datagram.arrival->localAddress != IPv4Address::zero
                            ? datagram.arrival->localAddress
                            : place.serverAddress,
                        macOf(datagram.source), *packet};
        if (asked.request.write)
            return refuse(asked, TFTPErrorCode::accessViolation, TFTPText::readOnly, TFTPFailureReason::refusedPath,
                          std::string(TFTPText::writeRefused));
        if (asked.request.mode == "mail")
            return refuse(asked, TFTPErrorCode::illegalOperation, TFTPText::illegalOperation,
                          TFTPFailureReason::refusedPath, std::string(TFTPText::mailModeRefused));
        // Asked again once the file is open, when transfers may have ended or been acknowledged.
        if (auto admission = admit(asked); admission.refusal)
            return refuse(asked, TFTPErrorCode::notDefined, TFTPText::serverBusy, TFTPFailureReason::busy,
                          std::string(description(*admission.refusal)));
        auto normalized = normalizeTFTPPath(asked.request.fileName);
        if (auto refusal = std::get_if<TFTPPathRefusal>(&normalized))
            return refuse(asked, TFTPErrorCode::fileNotFound, TFTPText::fileNotFound, TFTPFailureReason::refusedPath,
                          refusal->description());
        const auto& name = std::get<std::string>(normalized);
        std::optional<std::filesystem::path> chosen;
        if (auto found = given.find(name); found != given.end()) {
            chosen = found->second;
        } else if (!folder) {
            refuse(asked, TFTPErrorCode::fileNotFound, TFTPText::fileNotFound, TFTPFailureReason::notInFolder,
                   "not among the files given");
            if (callbacks.raise) callbacks.raise(Notice::bootFileNotGiven(asked.request.fileName));
            return;
        }
        open(std::move(asked), name, std::move(chosen));
    }

    void refuse(const AskedFile& asked, TFTPErrorCode code, std::string_view clientText, TFTPFailureReason reason,
                std::string detail) {
        answerRequest(asked.source, asked.sourcePort, code, clientText);
        requestLine(ServerEvent::tftpFailed(asked.id, asked.source, asked.mac, asked.request.fileName, reason,
                                            std::move(detail)));
    }

    TFTPAdmission admit(const AskedFile& asked) const {
        std::vector<TFTPSlot> slots;
        slots.reserve(transfers.size());
        // Transfer ids grow, so the map's order is the order they started in.
        for (const auto& [running, transfer] : transfers)
            slots.push_back({running, transfer->client, transfer->machine.wasAcknowledged()});
        return admitTFTPTransfer(slots, asked.source, asked.mac.has_value());
    }

    // The file is opened on the worker. Until the answer is back no further request is read, so
    // requests are still taken one at a time and in order.
    void open(AskedFile asked, std::string name, std::optional<std::filesystem::path> chosen) {
        opening = true;
        worker.async([this, weak = weak_from_this(), token = runToken, folder = folder, generation = listenGeneration,
                      asked = std::move(asked), name = std::move(name), chosen = std::move(chosen)]() mutable {
            if (!token->load()) return;
            std::variant<OpenedBootFile, BootFileRefusal> opened;
            if (chosen) {
                opened = seams.openGiven(*chosen);
            } else if (!folder->use([&](int folderFD) { opened = seams.openBeneath(folderFD, name); })) {
                return;
            }
            // Owned at once, so that an answer nobody takes still closes its file.
            std::variant<OpenedFile, BootFileRefusal> answer = BootFileRefusal{};
            if (auto file = std::get_if<OpenedBootFile>(&opened))
                answer = OpenedFile{std::make_shared<SharedFile>(file->fd), file->size};
            else
                answer = std::get<BootFileRefusal>(opened);
            asio::post(loop, [weak, generation, asked = std::move(asked), answer = std::move(answer)]() {
                auto self = weak.lock();
                if (!self || !self->listening(generation)) return;
                self->opening = false;
                self->opened(asked, answer);
                if (self->listening(generation) && !self->opening) self->waitForRequests();
            });
        });
    }

    void opened(const AskedFile& asked, const std::variant<OpenedFile, BootFileRefusal>& answer) {
        if (auto refusal = std::get_if<BootFileRefusal>(&answer)) {
            switch (refusal->kind) {
                case BootFileRefusal::Kind::notFound:
                    refuse(asked, TFTPErrorCode::fileNotFound, TFTPText::fileNotFound, TFTPFailureReason::notInFolder,
                           refusal->detail);
                    if (callbacks.raise)
                        callbacks.raise(Notice::bootFileMissing(asked.request.fileName, boot.folder));
                    return;
                case BootFileRefusal::Kind::outsideFolder:
                case BootFileRefusal::Kind::notAFile:
                    return refuse(asked, TFTPErrorCode::fileNotFound, TFTPText::fileNotFound,
                                  TFTPFailureReason::refusedPath, refusal->detail);
                case BootFileRefusal::Kind::unreadable:
                    return refuse(asked, TFTPErrorCode::accessViolation, TFTPText::accessViolation,
                                  TFTPFailureReason::unreadable, refusal->detail);
            }
            return;
        }
        const auto& file = std::get<OpenedFile>(answer);
        auto admission = admit(asked);
        if (admission.refusal)
            return refuse(asked, TFTPErrorCode::notDefined, TFTPText::serverBusy, TFTPFailureReason::busy,
                          std::string(description(*admission.refusal)));
        auto socket = openTransferSocket(asked.local, place.card);
        if (auto failure = std::get_if<SocketFailure>(&socket))
            return refuse(asked, TFTPErrorCode::notDefined, TFTPText::transferNotStarted, TFTPFailureReason::busy,
                          failure->description());
        auto transferSocket = std::get<TransferSocket>(socket);
        // Connected, so that the kernel hands this socket only the client's own packets.
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(asked.sourcePort);
        peer.sin_addr.s_addr = htonl(asked.source.value);
        if (::connect(transferSocket.fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
            auto code = errno;
            ::close(transferSocket.fd);
            return refuse(asked, TFTPErrorCode::notDefined, TFTPText::transferNotStarted, TFTPFailureReason::busy,
                          SocketFailure{"connect " + asked.source.description(), code}.description());
        }

        if (admission.evicts) evict(*admission.evicts, asked.source);
        // Netascii is served as octet: boot files are binary, and every boot client asks for octet.
        auto negotiation = negotiateTFTPOptions(asked.request.options, file.size, boot.blockSizeCeiling);
        auto transfer = std::make_shared<Transfer>(loop, TFTPTransfer(file.size, negotiation));
        transfer->id = asked.id;
        transfer->client = asked.source;
        transfer->clientPort = asked.sourcePort;
        transfer->mac = asked.mac;
        transfer->file = asked.request.fileName;
        transfer->fileHandle = file.file;
        transfer->socket.assign(transferSocket.fd);
        transfer->startedAt = transfer->lastProgress = callbacks.clock();
        transfers.emplace(asked.id, transfer);
        requestLine(ServerEvent::tftpRequested(asked.id, asked.source, asked.sourcePort, asked.mac,
                                               asked.request.fileName, optionsText(asked.request.options)));
        waitForPackets(transfer);
        apply(*transfer, transfer->machine.start());
    }

    // Transfers.

    void waitForPackets(const std::shared_ptr<Transfer>& transfer) {
        transfer->waitingForPackets = true;
        transfer->socket.async_wait(asio::posix::stream_descriptor::wait_read,
                                    [weak = weak_from_this(), transfer](const asio::error_code& error) {
                                        transfer->waitingForPackets = false;
                                        auto self = weak.lock();
                                        if (error || !self || transfer->closed) return;
                                        self->readPackets(*transfer);
                                        if (!transfer->closed && !transfer->unsent) self->waitForPackets(transfer);
                                    });
    }

    void readPackets(Transfer& transfer) {
        for (int count = 0; count < readLimit && !transfer.closed && !transfer.unsent; ++count) {
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
            if (transfer->unsent) {
                transfer->lateTimeout = generation;
                return;
            }
            self->apply(*transfer, transfer->machine.onTimeout());
        });
    }

    void send(Transfer& transfer, const Bytes& bytes) {
        // A full queue or a refused send is a lost datagram; retransmission covers it.
        sendDatagram(transfer.socket.native_handle(), bytes, transfer.client, transfer.clientPort);
    }

    void apply(Transfer& transfer, TFTPStep step) {
        bool readsFile = std::any_of(step.sends.begin(), step.sends.end(), [](const TFTPSend& item) {
            auto data = std::get_if<TFTPDataBlock>(&item);
            return data && data->length > 0;
        });
        // Bytes read earlier are sent only while the file is as it was then, as if read now.
        // fstat of an open file reads the kernel's inode, never the disk.
        if (readsFile && !transfer.cache.empty() &&
            (!transfer.cacheStamp || stampOf(transfer.fileHandle->fd()) != transfer.cacheStamp))
            transfer.cache.clear();
        transfer.unsent = Transfer::Unsent{std::move(step)};
        sendUnsent(transfer);
    }

    // Sends what the file's bytes at hand allow; the rest once a read brings them.
    void sendUnsent(Transfer& transfer) {
        auto& unsent = *transfer.unsent;
        const auto& sends = unsent.step.sends;
        for (; unsent.next < sends.size(); ++unsent.next) {
            if (auto bytes = std::get_if<Bytes>(&sends[unsent.next])) {
                send(transfer, *bytes);
                continue;
            }
            const auto& data = std::get<TFTPDataBlock>(sends[unsent.next]);
            auto end = data.offset + data.length;
            if (!transfer.cached(data.offset, data.length)) {
                if (transfer.reading) return;  // the read out may bring it
                if (unsent.readUpTo >= end) {
                    // Read, and the file ended first.
                    transfer.unsent.reset();
                    send(transfer, encodeTFTPError(TFTPErrorCode::notDefined, TFTPText::fileChanged));
                    return this->end(transfer, TFTPFailureReason::unreadable, std::string(TFTPText::fileShrank));
                }
                // The blocks of one step follow each other: one read for the rest of them.
                for (const auto& item : sends)
                    if (auto later = std::get_if<TFTPDataBlock>(&item)) unsent.readUpTo = later->offset + later->length;
                return read(transfer, data.offset, unsent.readUpTo - data.offset);
            }
            std::span<const std::uint8_t> payload;
            if (data.length > 0) payload = {transfer.cache.data() + (data.offset - transfer.cacheOffset), data.length};
            send(transfer, encodeTFTPData(data.block, payload));
            transfer.sentEnd = std::max(transfer.sentEnd, end);
        }
        auto step = std::move(unsent.step);
        transfer.unsent.reset();
        finishStep(transfer, step);
    }

    void finishStep(Transfer& transfer, const TFTPStep& step) {
        if (step.outcome == TFTPOutcome::finished) return finish(transfer);
        if (step.outcome == TFTPOutcome::failed) {
            auto failure = step.failure.value_or(TFTPFailure{});
            auto reason = failure.kind == TFTPFailure::Kind::timedOut ? TFTPFailureReason::timedOut
                                                                      : TFTPFailureReason::clientError;
            return end(transfer, reason, failure.description());
        }
        if (step.restartTimer) arm(transfers.at(transfer.id));
        progress(transfer, false);
        keepUnacknowledged(transfer);
        readAhead(transfer);
    }

    // What the client has is never sent again. Dropped once it is half of what is held, so that
    // the bytes kept are not moved for every block.
    static void keepUnacknowledged(Transfer& transfer) {
        auto from = transfer.machine.bytesAcknowledged();
        if (from <= transfer.cacheOffset) return;
        auto drop = std::min<std::uint64_t>(from - transfer.cacheOffset, transfer.cache.size());
        if (drop < transfer.cache.size() / 2) return;
        transfer.cache.erase(transfer.cache.begin(), transfer.cache.begin() + static_cast<std::ptrdiff_t>(drop));
        transfer.cacheOffset += drop;
    }

    // While the blocks sent are on their way, the next ones are read; topped up once half is used.
    void readAhead(Transfer& transfer) {
        if (transfer.reading || transfer.closed) return;
        const auto& options = transfer.machine.options();
        auto window = std::uint64_t{options.blockSize} * options.windowSize;
        auto ahead = std::clamp<std::uint64_t>(2 * window, readAheadFloor, readAheadCeiling);
        auto until = std::min(transfer.machine.fileSize(), transfer.sentEnd + ahead);
        auto cacheEnd = transfer.cacheOffset + transfer.cache.size();
        auto from = !transfer.cache.empty() && cacheEnd >= transfer.sentEnd ? cacheEnd : transfer.sentEnd;
        if (from >= until || from - transfer.sentEnd >= ahead / 2) return;
        read(transfer, from, static_cast<std::size_t>(until - from));
    }

    void read(Transfer& transfer, std::uint64_t offset, std::size_t length) {
        transfer.reading = true;
        worker.async([this, weak = weak_from_this(), owner = std::weak_ptr<Transfer>(transfers.at(transfer.id)),
                      file = transfer.fileHandle, offset, length] {
            std::optional<FileStamp> stamp;
            Bytes bytes;
            // Stamped before reading: a change during the read makes the bytes stale, never fresh.
            if (!file->use([&](int fd) {
                    stamp = stampOf(fd);
                    bytes = seams.read(fd, offset, length);
                }))
                return;
            asio::post(loop, [weak, owner, offset, bytes = std::move(bytes), stamp]() mutable {
                auto self = weak.lock();
                auto transfer = owner.lock();
                if (!self || !transfer || transfer->closed) return;
                self->gotBytes(transfer, offset, std::move(bytes), stamp);
            });
        });
    }

    void gotBytes(const std::shared_ptr<Transfer>& transfer, std::uint64_t offset, Bytes bytes,
                  std::optional<FileStamp> stamp) {
        transfer->reading = false;
        auto cacheEnd = transfer->cacheOffset + transfer->cache.size();
        if (!transfer->cache.empty() && offset == cacheEnd && stamp && stamp == transfer->cacheStamp) {
            transfer->cache.insert(transfer->cache.end(), bytes.begin(), bytes.end());
        } else {
            transfer->cache = std::move(bytes);
            transfer->cacheOffset = offset;
            transfer->cacheStamp = stamp;
        }
        if (!transfer->unsent) return;
        sendUnsent(*transfer);
        if (transfer->closed || transfer->unsent) return;
        // What waited meanwhile, in the order it came: a time-out, then the client's packets.
        if (auto late = std::exchange(transfer->lateTimeout, std::nullopt); late && *late == transfer->timerGeneration) {
            apply(*transfer, transfer->machine.onTimeout());
            if (transfer->closed || transfer->unsent) return;
        }
        if (!transfer->waitingForPackets) waitForPackets(transfer);
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
        // Closed now, or by the worker when a read of it is running.
        if (transfer.fileHandle) std::exchange(transfer.fileHandle, nullptr)->release();
        transfers.erase(transfer.id);
    }
};

TFTPService::TFTPService(asio::io_context& loop, Place place, BootConfig boot, Callbacks callbacks, Seams seams)
    : state_(std::make_shared<State>(loop, std::move(place), std::move(boot), std::move(callbacks),
                                     std::move(seams))) {}

TFTPService::~TFTPService() { state_->stop(); }

void TFTPService::start() { state_->start(); }

void TFTPService::stop() { state_->stop(); }

void TFTPService::pause() { state_->pause(); }

void TFTPService::resume(std::string card, TFTPListener listener) { state_->resume(std::move(card), listener); }

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
