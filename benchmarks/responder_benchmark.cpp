// One DISCOVER and one REQUEST decision against tables of growing size; a new device's whole
// exchange as the server makes it, the table moved in and out of each decision.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "core/dhcp/option_code.hpp"
#include "core/dhcp_service/responder.hpp"

namespace anvil {
namespace {

constexpr double now = 1'700'000'000;

ServerConfig largeConfig() {
    ServerConfig config;
    config.serverIP = IPv4Address(10, 0, 0, 1);
    config.prefixLength = 16;
    config.rangeStart = IPv4Address(10, 0, 0, 10);
    config.rangeEnd = IPv4Address(10, 0, 250, 0);
    config.leaseSeconds = 86400;
    config.router = config.serverIP;
    config.dns = {config.serverIP};
    return config;
}

MACAddress macNumber(std::uint32_t n) {
    return MACAddress{{0x02, 0x00, static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                       static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)}};
}

// Leases bound to the first addresses of the range, so the newcomer's address is the first after them.
DecisionContext contextWith(const ServerConfig& config, std::int64_t leases) {
    LeaseTable table;
    for (std::int64_t i = 0; i < leases; ++i) {
        auto n = static_cast<std::uint32_t>(i);
        table.upsert(Lease{macNumber(n), IPv4Address(config.rangeStart.value + n), Lease::State::bound,
                           Date{now + 3600}, "device-" + std::to_string(i), std::nullopt, std::nullopt, Date{now - 60},
                           Date{now - 60}});
    }
    return DecisionContext{std::move(table), {}, {}, Date{now}};
}

DHCPPacket clientMessage(DHCPMessageType type, const MACAddress& mac) {
    DHCPPacket packet;
    packet.xid = 42;
    std::copy(mac.bytes.begin(), mac.bytes.end(), packet.chaddr.begin());
    packet.setOption(OptionCode::messageType, {rawValue(type)});
    packet.setOption(OptionCode::hostname, {'b', 'e', 'n', 'c', 'h'});
    return packet;
}

void discoverDecision(benchmark::State& state) {
    Responder responder{largeConfig()};
    auto context = contextWith(responder.config, state.range(0));
    auto discover = clientMessage(DHCPMessageType::discover, macNumber(0xffffff));
    for (auto _ : state) benchmark::DoNotOptimize(responder.decide(discover, context));
    state.SetLabel("leases=" + std::to_string(state.range(0)));
}

void requestDecision(benchmark::State& state) {
    Responder responder{largeConfig()};
    auto context = contextWith(responder.config, state.range(0));
    auto newcomer = macNumber(0xffffff);
    auto offered = responder.decide(clientMessage(DHCPMessageType::discover, newcomer), context);
    context.table = offered.table;
    auto request = clientMessage(DHCPMessageType::request, newcomer);
    request.setOption(OptionCode::serverID, responder.config.serverIP.bytes());
    request.setOption(OptionCode::requestedIP, offered.action.replyValue()->ip.bytes());
    for (auto _ : state) benchmark::DoNotOptimize(responder.decide(request, context));
    state.SetLabel("leases=" + std::to_string(state.range(0)));
}

// The share of a decision spent copying the caller's table into the working record.
void tableCopy(benchmark::State& state) {
    auto context = contextWith(largeConfig(), state.range(0));
    for (auto _ : state) {
        LeaseTable copy = context.table;
        benchmark::DoNotOptimize(copy);
    }
    state.SetLabel("leases=" + std::to_string(state.range(0)));
}

// A DISCOVER and a REQUEST from a device never seen, after `range(0)` bound devices. The device
// is removed again outside the timing, so every round meets the same table.
void newDeviceExchange(benchmark::State& state) {
    Responder responder{largeConfig()};
    auto context = contextWith(responder.config, state.range(0));
    auto newcomer = macNumber(0xffffff);
    auto discover = clientMessage(DHCPMessageType::discover, newcomer);
    auto request = clientMessage(DHCPMessageType::request, newcomer);
    request.setOption(OptionCode::serverID, responder.config.serverIP.bytes());
    const Date at = context.now;
    for (auto _ : state) {
        auto offered = responder.decide(discover, std::move(context));
        auto ip = offered.action.replyValue()->ip;
        request.setOption(OptionCode::requestedIP, ip.bytes());
        auto acknowledged = responder.decide(request, DecisionContext{std::move(offered.table), {}, {}, at});
        benchmark::DoNotOptimize(acknowledged.action);
        state.PauseTiming();
        context.table = std::move(acknowledged.table);
        context.table.remove(newcomer);
        context.table.takeChanges();
        state.ResumeTiming();
    }
    state.SetLabel("earlier devices=" + std::to_string(state.range(0)));
}

BENCHMARK(newDeviceExchange)->Arg(0)->Arg(5000)->Arg(50000)->Unit(benchmark::kMicrosecond);
BENCHMARK(discoverDecision)->Arg(10)->Arg(250)->Arg(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(requestDecision)->Arg(10)->Arg(250)->Arg(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(tableCopy)->Arg(10)->Arg(250)->Arg(5000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace anvil
