#pragma once
// The read-only TFTP server of the boot folder, on the DHCP server's loop: the request port, one
// socket and one timer per transfer, and every request and transfer reported as events. Files are
// opened and read on a thread of the service's own, so a slow disk never holds the loop.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "core/addressing/boot_config.hpp"
#include "core/addressing/bytes.hpp"
#include "core/addressing/date.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/events/notice.hpp"
#include "core/events/server_event.hpp"
#include "core/host/boot_folder.hpp"
#include "core/tftp_service/boot_file_access.hpp"
#include "core/host/tftp_sockets.hpp"
#include "core/tftp/tftp_admission.hpp"

namespace asio {
class io_context;
}

namespace anvil {

// Serving could not begin: the request port or the boot folder could not be opened.
struct TFTPStartError : std::runtime_error {
    int code = 0;  // errno
    TFTPStartError(const std::string& description, int code) : std::runtime_error(description), code(code) {}
};

class TFTPService {
public:
    struct Callbacks {
        std::function<void(ServerEvent)> emit;
        std::function<void(Notice)> raise;
        std::function<void(NoticeKind)> clear;
        // The device holding a lease at an address, for the events.
        std::function<std::optional<MACAddress>(IPv4Address)> macOf;
        // Stamps transfer durations and paces progress; the system clock when null.
        std::function<Date()> clock;
        // Who may send requests, read per request; when null, loopback alone in the loopback
        // mode and nobody on a card.
        std::function<TFTPSourceFacts()> sources;
        // Opens port 69 on a card (through the helper when needed); openTFTPListener when null.
        std::function<std::variant<TFTPListener, SocketFailure>(const std::string& card)> openListener;
    };

    // Where requests are taken: a card's port 69, or 127.0.0.1:`loopbackPort` when `card` is empty
    // (0 picks a free port). `serverAddress` answers requests whose arrival address is unknown.
    struct Place {
        std::string card;
        std::uint16_t loopbackPort = 0;
        IPv4Address serverAddress;
    };

    // The file work, run on the service's own thread one call at a time; tests make it slow.
    using Seams = BootFileAccess;

    // With an empty boot folder only the files given by serveFileAs are served.
    TFTPService(asio::io_context& loop, Place place, BootConfig boot, Callbacks callbacks, Seams seams = {});
    // On the loop's thread; stops, then waits for a file call already running on the service's
    // thread (at most one), whose answer is posted to the loop.
    ~TFTPService();
    TFTPService(const TFTPService&) = delete;
    TFTPService& operator=(const TFTPService&) = delete;

    // On the loop's thread. Opens the boot folder and the request port; throws TFTPStartError.
    void start();
    // On the loop's thread. Closes the request port, every transfer's socket and file, and the folder;
    // a file being read at that moment is closed by the service's thread when the read returns.
    void stop();
    // The same, keeping the boot folder open for resume().
    void pause();
    // Starts again on the card under its (possibly new) name with a request port opened elsewhere
    // (opening may ask the helper and take seconds); the boot folder stays open while stopped.
    void resume(std::string card, TFTPListener listener);

    // Answers a request whose normalised name is `name` from `source` (a regular file, opened when
    // asked for, never through a link). Returns false when the name is refused or too many are given.
    bool serveFileAs(const std::string& name, const std::filesystem::path& source);
    void forgetGivenFiles();
    static constexpr std::size_t givenFileCapacity = 8;

    bool isRunning() const;
    // The request port as bound (useful when the loopback port was 0).
    std::uint16_t port() const;
    std::size_t activeTransfers() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace anvil
