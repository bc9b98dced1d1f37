#pragma once
// Presence probes as operations on an event loop: non-blocking sockets and timers, so that
// thousands of addresses can be probed at once without a thread each.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/presence_state.hpp"

namespace asio {
class io_context;
}

namespace anvil {

class AsyncProber {
public:
    using Done = std::function<void(ProbeResult)>;

    virtual ~AsyncProber() = default;

    // Starts one probe of `ip` through the card: one ICMP echo and a TCP connect per port, as
    // Prober::probe does. `done` runs once on the loop, never inside this call, unless cancelAll
    // comes first.
    virtual void probe(const std::string& interfaceName, IPv4Address ip, double timeout, Done done) = 0;
    // Ends every probe at once and closes its sockets; none of their `done` runs.
    virtual void cancelAll() = 0;
    // Sockets open right now, the shared ICMP ones included.
    virtual std::size_t openSockets() const = 0;

    // The real prober; every call must come from the thread that runs `loop`.
    static std::unique_ptr<AsyncProber> onLoop(asio::io_context& loop,
                                               std::vector<std::uint16_t> tcpPorts = {80, 443});
};

}  // namespace anvil
