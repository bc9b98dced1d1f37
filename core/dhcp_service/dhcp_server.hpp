#pragma once
// Serves DHCP on a card (or the loopback test ports) for the run on that card: owns the socket,
// the lease table, the responder, the presence of devices and the store of the leases, and
// reports what happens as events. Everything is called on the run's loop; the card itself (its
// name, link and return after an unplug) belongs to the run, which tells this server.
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/addressing/mac_address.hpp"
#include "core/addressing/server_config.hpp"
#include "core/events/notice.hpp"
#include "core/events/serial_queue.hpp"
#include "core/events/server_event.hpp"
#include "core/leases/lease_file.hpp"
#include "core/leases/lease_table.hpp"
#include "core/dhcp_service/lease_store.hpp"
#include "core/dhcp_service/server_host.hpp"
#include "core/dhcp_service/transport.hpp"
#include "core/dhcp_service/transport_mode.hpp"

namespace anvil {

class DHCPServer {
public:
    struct Options {
        ServerConfig config;
        TransportMode mode;
        LeaseFile leaseFile;
        bool presenceEnabled = true;
    };

    struct Callbacks {
        std::function<void(ServerEvent)> emit;
        std::function<void(Notice)> raise;
        std::function<void(NoticeKind)> clear;
        // A device's lease was recorded bound, or ended: the one way lease facts leave the server.
        std::function<void(const MACAddress&, bool holdsLease)> leaseHeld;
    };

    // Seams for tests; by default the real host, UDP sockets and the usual intervals.
    struct Seams {
        ServerHost host = ServerHost::system();
        TransportFactory transportFactory;
        ServerTimers timers;
        LeaseStore::Seams leaseStore = {};
    };

    // Lives on `loop`'s thread: made, called and destroyed there.
    DHCPServer(SerialQueue& loop, Options options, Callbacks callbacks, Seams seams);
    // Cancels probes and drops what the store has under way; stop() first saves the leases.
    ~DHCPServer();
    DHCPServer(const DHCPServer&) = delete;
    DHCPServer& operator=(const DHCPServer&) = delete;

    // Locks and loads the lease file and opens the socket on `card` (empty in the loopback mode);
    // throws LeaseFileInUse, LeaseFileError and the TransportError of opening.
    void open(const std::string& card);
    // Serving begins: `started`, the loaded leases, the timers.
    void begin(bool linkUp);
    // Closes the socket and saves the leases.
    void stop();

    // The card left: the socket is closed and every device is offline.
    void cardGone();
    void linkChanged(bool up);
    // The socket is closed (the card left, or the helper let go of it) and must be opened again.
    bool needsSocket() const;
    // Opens the socket for `card`; runs on a thread of its own, never touching the server.
    std::function<std::unique_ptr<Transport>(const std::string& card)> socketOpener() const;
    // The card is back under `card` with a socket opened by socketOpener.
    void cardBack(const std::string& card, std::unique_ptr<Transport> socket);
    // This computer's own addresses, which never get an answer.
    void setOwnAddresses(std::unordered_set<IPv4Address> addresses);

    const LeaseTable& table() const;
    std::optional<MACAddress> holderOf(IPv4Address ip) const;
    // Devices whose lease is bound now.
    std::vector<MACAddress> boundDevices() const;

    void forgetLease(const MACAddress& mac);
    void clearInactive();
    void refreshPresence();

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace anvil
