#pragma once
// The one UDP socket through which a server hears clients and answers them.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "core/host/privilege_helper.hpp"
#include "core/dhcp/reply_destination.hpp"
#include "core/dhcp_service/datagram.hpp"
#include "core/dhcp_service/transport.hpp"
#include "core/dhcp_service/transport_error.hpp"
#include "core/dhcp_service/transport_mode.hpp"

namespace anvil {

class UDPTransport final : public Transport {
public:
    // Who opens a card's socket: this process, or dhcpanvil-helper for a process that may not
    // bind port 67, which then keeps the socket and relays its datagrams (fd() is the relay's
    // end). The loopback test ports are always opened here.
    enum class Opener { thisProcess, helper };

    explicit UDPTransport(TransportMode mode, Opener opener = Opener::thisProcess)
        : mode_(std::move(mode)), opener_(opener) {}
    ~UDPTransport() override { close(); }
    UDPTransport(const UDPTransport&) = delete;
    UDPTransport& operator=(const UDPTransport&) = delete;

    // Creates, binds and configures the socket; throws TransportError and stays closed on failure.
    void open() override;
    // One waiting datagram, or nothing; never blocks. Throws TransportEnded when the helper let go
    // of the card.
    std::optional<Datagram> receive() override;
    void send(const Bytes& bytes, const ReplyDestination& destination) override;
    void close() override;

    const TransportMode& mode() const { return mode_; }
    std::string interfaceName() const { return mode_.interfaceName(); }
    int fd() const override { return fd_; }
    std::uint32_t interfaceIndex() const override { return interfaceIndex_; }

private:
    void openThroughHelper();

    TransportMode mode_;
    Opener opener_;
    int fd_ = -1;
    std::uint32_t interfaceIndex_ = 0;
    std::optional<PrivilegeHelper::RelayedSocket> relay_;
    Bytes receiving_;
    // A relayed send waits for its own result: the flush's thread and the loop's send in turn.
    std::mutex relaySending_;
};

// The transport a server uses by default: the helper opens a card's socket unless this process
// may (root, or the network capabilities effective).
std::unique_ptr<Transport> makeSystemTransport(const TransportMode& mode);

}  // namespace anvil
