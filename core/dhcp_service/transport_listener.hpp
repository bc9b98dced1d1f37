#pragma once
// The server's open transport and the wait on the loop for its next datagrams. A transport that
// was closed or replaced is never read again, even by a wait already due.
#include <cstdint>
#include <functional>
#include <memory>

#include "core/dhcp_service/transport.hpp"

namespace asio {
class io_context;
}

namespace anvil {

class TransportListener {
public:
    // `readable` runs on the loop each time datagrams wait; it reads them itself.
    TransportListener(asio::io_context& loop, std::function<void()> readable);
    // On the loop's thread; closes the transport.
    ~TransportListener();
    TransportListener(const TransportListener&) = delete;
    TransportListener& operator=(const TransportListener&) = delete;

    // Takes an opened transport in place of the one before, and starts waiting on it.
    void listen(std::unique_ptr<Transport> transport);
    void close();

    bool isOpen() const;
    // Changes with each listen(); a read batch stops when the transport it began on is gone.
    std::uint64_t generation() const;
    // Only while open.
    Transport& transport();
    // From any thread: sends unless the transport is closed (false). Throws what send() throws.
    bool sendIfOpen(const Bytes& bytes, const ReplyDestination& destination);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace anvil
