// What one changing frame from the cable costs the server's loop with a full book of 256 devices,
// each claiming 8 addresses of networks the crowd has filled, so every device's search for a free
// address is at its longest. Frames go through a socket pair in place of the packet socket.
#include <benchmark/benchmark.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio.hpp>
#include <memory>
#include <vector>

#include "core/watch_service/cable_watch.hpp"

namespace anvil {
namespace {

using Frame = std::vector<std::uint8_t>;

void put(Frame& frame, std::uint32_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) frame.push_back(static_cast<std::uint8_t>(value >> shift));
}

// A gratuitous ARP of device `device` claiming the `index`th address of 192.168.100.0 to 192.168.107.255.
Frame claim(unsigned device, unsigned index) {
    index %= 8 * 254;
    IPv4Address address{192, 168, static_cast<std::uint8_t>(100 + index / 254), static_cast<std::uint8_t>(1 + index % 254)};
    Frame frame(6, 0xff);
    Frame mac{0x02, 0x66, 0x00, 0x00, static_cast<std::uint8_t>(device >> 8), static_cast<std::uint8_t>(device)};
    frame.insert(frame.end(), mac.begin(), mac.end());
    put(frame, 0x0806, 2);
    put(frame, 1, 2);
    put(frame, 0x0800, 2);
    frame.push_back(6);
    frame.push_back(4);
    put(frame, 1, 2);
    frame.insert(frame.end(), mac.begin(), mac.end());
    put(frame, address.value, 4);
    frame.insert(frame.end(), 6, 0);
    put(frame, address.value, 4);
    frame.resize(60, 0);
    return frame;
}

struct Cable {
    asio::io_context loop;
    int pair[2] = {-1, -1};
    std::unique_ptr<CableWatch> watch;

    explicit Cable(double reviewEverySeconds) {
        ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair);
        CableWatch::Callbacks callbacks;
        callbacks.facts = [] {
            CableFacts facts;
            facts.served = Subnet::make({10, 77, 0, 1}, 24);
            facts.cardAddresses = {{10, 77, 0, 1}};
            return facts;
        };
        CableWatch::Seams seams;
        seams.open = [this](const std::string&) -> std::variant<FrameWatch, PrivilegeHelper::Failure> {
            return FrameWatch{pair[0], 7, -1};
        };
        seams.reviewEverySeconds = reviewEverySeconds;
        seams.framesPerSecond = 1u << 30;
        watch = std::make_unique<CableWatch>(loop, "bench0", std::move(callbacks), std::move(seams));
        watch->start();
    }
    ~Cable() {
        watch.reset();
        ::close(pair[1]);
    }

    // Sends one frame and runs the loop until the watch has read and handled it.
    void feed(const Frame& frame) {
        ::send(pair[1], frame.data(), frame.size(), 0);
        for (int round = 0; round < 1000; ++round) {
            loop.restart();
            loop.poll();
            int queued = 0;
            if (::ioctl(pair[0], FIONREAD, &queued) == 0 && queued == 0) break;
        }
    }
};

// Reviewing on every frame (the interval 0) shows the per-frame work itself; the default interval
// shows what coalescing leaves of it.
void changingFrameWithAFullBook(benchmark::State& state) {
    Cable cable(state.range(0) == 0 ? 0.0 : 0.25);
    unsigned index = 0;
    for (unsigned device = 0; device < 256; ++device)
        for (unsigned each = 0; each < 8; ++each) cable.feed(claim(device, index++));
    for (auto _ : state) {
        cable.feed(claim(index % 256, index));
        ++index;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(changingFrameWithAFullBook)->Arg(0)->Arg(1)->ArgName("coalesced")->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace anvil
