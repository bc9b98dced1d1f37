#pragma once
// The socket a server talks through; UDPTransport is the real one, tests may supply another.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/dhcp_service/datagram.hpp"
#include "core/dhcp/reply_destination.hpp"
#include "core/dhcp_service/transport_mode.hpp"

namespace anvil {

class Transport {
public:
    virtual ~Transport() = default;
    // Throws TransportError and stays closed on failure.
    virtual void open() = 0;
    // One waiting datagram, or nothing; never blocks. Throws TransportError.
    virtual std::optional<Datagram> receive() = 0;
    // Throws TransportError.
    virtual void send(const Bytes& bytes, const ReplyDestination& destination) = 0;
    virtual void close() = 0;
    // A descriptor that turns readable when a datagram waits; -1 while closed.
    virtual int fd() const = 0;
    virtual std::uint32_t interfaceIndex() const = 0;
};

using TransportFactory = std::function<std::unique_ptr<Transport>(const TransportMode&)>;

}  // namespace anvil
