#pragma once
// One run on one card (or on the loopback test ports): the loop and its thread, the card (its
// name, link, own addresses, unplug and return), one board of notices with the event stream, and
// the services on the card as peers: DHCP, TFTP and the watch of the cable. A run that only
// watches has the watch alone. Every socket of the card is opened again off the loop, so nothing
// one service waits for stalls another; the front ends' requests never wait for the loop.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/addressing/mac_address.hpp"
#include "core/addressing/maker_registry.hpp"
#include "core/addressing/server_config.hpp"
#include "core/watch/neighbour.hpp"
#include "core/events/event_stream.hpp"
#include "core/events/server_event.hpp"
#include "core/leases/lease_file.hpp"
#include "core/leases/lease_table.hpp"
#include "core/dhcp_service/lease_store.hpp"
#include "core/dhcp_service/server_host.hpp"
#include "core/dhcp_service/transport.hpp"
#include "core/dhcp_service/transport_mode.hpp"
#include "core/tftp_service/boot_file_access.hpp"

namespace anvil {

class CardRun {
public:
    struct Options {
        ServerConfig config;
        TransportMode mode;
        // Finds the card again under a new name after it was unplugged.
        std::optional<MACAddress> cardMAC;
        LeaseFile leaseFile{std::filesystem::path{}};
        bool presenceEnabled = true;
        // Watch the card's cable for devices that do not ask (card mode only).
        bool watchCable = true;
        // Names the maker of a device the watch sees; none when null.
        MakerLookup maker = nullptr;
        // DHCP and TFTP serve; otherwise the run only watches the cable (config and lease file unused).
        bool servesDHCP = true;

        static Options watchOnly(std::string card, std::optional<MACAddress> cardMAC, MakerLookup maker);
    };

    // Seams for tests; by default the real host, UDP sockets and the usual intervals.
    struct Seams {
        ServerHost host = ServerHost::system();
        TransportFactory transportFactory;
        ServerTimers timers;
        LeaseStore::Seams leaseStore = {};
        // The boot files' opens and reads, which run on the TFTP service's own thread.
        BootFileAccess bootFiles = {};
    };

    explicit CardRun(Options options);
    CardRun(Options options, Seams seams);
    // Cancels probes and stops the loop without waiting for any probe or opening; a run still
    // serving should be stopped first so that its leases are saved.
    ~CardRun();
    CardRun(const CardRun&) = delete;
    CardRun& operator=(const CardRun&) = delete;

    using Events = EventStream<ServerEvent>;
    // Consumed by exactly one front end, in order; finished after stop().
    std::shared_ptr<Events> events() const { return events_; }

    // Loads leases and opens the card's sockets; throws LeaseFileInUse when another process
    // writes the lease file, the TransportError of opening, TFTPStartError, and WatchStartError
    // in a run that only watches.
    void start();
    // Closes the sockets, saves the leases, emits `stopped` and finishes the event stream.
    void stop();

    // Requests: each is queued for the loop and returns at once.
    void forgetLease(const MACAddress& mac);
    void clearInactive();
    void refreshPresence();
    // Firmware recovery: TFTP serves on the card (with the boot folder when there is one, else only
    // the files given here) until stopRecoveryServing.
    void startRecoveryServing();
    // A device asked for `name`: answer it from `source`, a file the user chose.
    void serveFileAs(std::string name, std::filesystem::path source);
    void stopRecoveryServing();

    // Snapshots: these wait for the loop to answer.
    LeaseTable currentTable();
    // The devices seen on the cable, whether or not they hold a lease.
    std::vector<Neighbour> currentNeighbours();

    struct State;

private:
    std::shared_ptr<Events> events_;
    struct Loop;
    std::unique_ptr<Loop> loop_;
    std::shared_ptr<State> state_;
};

}  // namespace anvil
