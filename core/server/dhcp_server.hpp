#pragma once
// Serves DHCP on one card (or the loopback test ports): owns the socket, the lease table, the
// presence of devices and the raised notices, does all its work on one serial queue, and reports
// everything as a stream of events. One server per start of serving.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/addressing/mac_address.hpp"
#include "core/addressing/server_config.hpp"
#include "core/discovery/neighbour.hpp"
#include "core/events/event_stream.hpp"
#include "core/events/server_event.hpp"
#include "core/leases/lease_file.hpp"
#include "core/leases/lease_table.hpp"
#include "core/server/lease_store.hpp"
#include "core/server/server_host.hpp"
#include "core/server/transport.hpp"
#include "core/addressing/maker_registry.hpp"
#include "core/server/transport_mode.hpp"

namespace anvil {

class DHCPServer {
public:
    struct Options {
        ServerConfig config;
        TransportMode mode;
        // Finds the card again under a new name after it was unplugged.
        std::optional<MACAddress> cardMAC;
        LeaseFile leaseFile;
        bool presenceEnabled = true;
        // Watch the card's cable for devices that do not ask (card mode only).
        bool watchCable = true;
        // Names the maker of a device the watch sees; none when null.
        MakerLookup maker = nullptr;
    };

    // Seams for tests; by default the real host, UDP sockets and the runtime's usual intervals.
    struct Seams {
        ServerHost host = ServerHost::system();
        TransportFactory transportFactory;
        ServerTimers timers;
        LeaseStore::Seams leaseStore = {};
    };

    explicit DHCPServer(Options options);
    DHCPServer(Options options, Seams seams);
    // Cancels probes and stops the queues without waiting for any probe; a running server should
    // be stopped first so that its leases are saved.
    ~DHCPServer();
    DHCPServer(const DHCPServer&) = delete;
    DHCPServer& operator=(const DHCPServer&) = delete;

    using Events = EventStream<ServerEvent>;
    // Consumed by exactly one front end, in order; finished after stop().
    std::shared_ptr<Events> events() const { return events_; }

    // Loads leases, opens the socket and starts the timers; throws LeaseFileInUse when another
    // process writes the lease file, and the TransportError of opening.
    void start();
    // Closes the socket, saves the leases, emits `stopped` and finishes the event stream.
    void stop();

    LeaseTable currentTable();
    void forgetLease(const MACAddress& mac);
    void clearInactive();
    void refreshPresence();

    // The devices seen on the cable, whether or not they hold a lease.
    std::vector<Neighbour> currentNeighbours();
    // Firmware recovery: TFTP serves on the card (with the boot folder when there is one, else only
    // the files given here) until stopRecoveryServing.
    void startRecoveryServing();
    // A device asked for `name`: answer it from `source`, a file the user chose.
    void serveFileAs(std::string name, std::filesystem::path source);
    void stopRecoveryServing();

    struct Core;

private:
    std::shared_ptr<Events> events_;
    struct Queues;
    std::unique_ptr<Queues> queues_;
    std::shared_ptr<Core> core_;
};

}  // namespace anvil
