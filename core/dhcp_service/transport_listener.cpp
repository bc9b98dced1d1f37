#include "core/dhcp_service/transport_listener.hpp"

#include <asio.hpp>
#include <mutex>
#include <optional>

namespace anvil {

// Shared with the wait under way, so the handler of a wait that outlived its listener finds it
// closed rather than gone.
struct TransportListener::State : std::enable_shared_from_this<State> {
    asio::io_context& loop;
    std::function<void()> readable;
    std::unique_ptr<Transport> transport;
    std::optional<asio::posix::stream_descriptor> readSource;
    std::uint64_t generation = 0;
    bool open = false;
    // Held by sends from other threads, and here while the transport is closed or replaced.
    std::mutex sending;

    State(asio::io_context& loop, std::function<void()> readable) : loop(loop), readable(std::move(readable)) {}

    bool current(std::uint64_t waited) const { return open && generation == waited; }

    void wait() {
        readSource->async_wait(asio::posix::stream_descriptor::wait_read,
                               [self = shared_from_this(), waited = generation](const asio::error_code& error) {
                                   if (error || !self->current(waited)) return;
                                   self->readable();
                                   if (self->current(waited)) self->wait();
                               });
    }

    void close() {
        if (readSource) {
            readSource->cancel();
            readSource->release();  // the transport owns the descriptor
            readSource.reset();
        }
        std::lock_guard lock(sending);
        if (transport) transport->close();
        open = false;
    }
};

TransportListener::TransportListener(asio::io_context& loop, std::function<void()> readable)
    : state_(std::make_shared<State>(loop, std::move(readable))) {}

TransportListener::~TransportListener() { state_->close(); }

void TransportListener::listen(std::unique_ptr<Transport> transport) {
    {
        std::lock_guard lock(state_->sending);
        state_->transport = std::move(transport);
        state_->open = true;
    }
    ++state_->generation;
    state_->readSource.emplace(state_->loop, state_->transport->fd());
    state_->wait();
}

void TransportListener::close() { state_->close(); }

bool TransportListener::isOpen() const { return state_->open; }

std::uint64_t TransportListener::generation() const { return state_->generation; }

Transport& TransportListener::transport() { return *state_->transport; }

bool TransportListener::sendIfOpen(const Bytes& bytes, const ReplyDestination& destination) {
    std::lock_guard lock(state_->sending);
    if (!state_->open || !state_->transport) return false;
    state_->transport->send(bytes, destination);
    return true;
}

}  // namespace anvil
