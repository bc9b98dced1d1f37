// One presence sweep over 10, 500 and 5,000 bound leases whose devices are gone, on a veth card
// in a private network namespace (root only; the namespace ends with the process), with the
// server's threads, open descriptors and memory sampled while it runs, and how long stop takes
// with the next sweep's probes out.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/host/process_runner.hpp"
#include "core/run/card_run.hpp"

namespace anvil {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string card = "enbench0";
const IPv4Address firstLeased{10, 88, 0, 10};

// Enters a network namespace of this process's own and makes the card there; its far end has no
// address, so nothing answers for any leased address. Empty when it worked.
std::string makeBench() {
    if (::geteuid() != 0) return "needs root for a private network namespace";
    if (::unshare(CLONE_NEWNET) != 0) return std::string("unshare: ") + std::strerror(errno);
    for (std::vector<std::string> step : {std::vector<std::string>{"link", "add", card, "type", "veth", "peer", "name",
                                                                   "enbench1"},
                                          {"address", "add", "10.88.0.1/18", "dev", card},
                                          {"link", "set", card, "up"},
                                          {"link", "set", "enbench1", "up"},
                                          {"link", "set", "lo", "up"}}) {
        auto output = ProcessRunner::run("/usr/sbin/ip", step);
        if (output.status != 0) return "ip " + step[0] + ": " + output.text;
    }
    return {};
}

struct Sample {
    int threads = 0;
    int descriptors = 0;
    double residentMiB = 0;
};

int entriesIn(const char* folder) {
    int count = 0;
    std::error_code ignored;
    for (auto it = fs::directory_iterator(folder, ignored); it != fs::directory_iterator(); it.increment(ignored))
        ++count;
    return count;
}

double statusMiB(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(key + ":")) return std::stod(line.substr(key.size() + 1)) / 1024;
    return 0;
}

Sample sample() { return {entriesIn("/proc/self/task"), entriesIn("/proc/self/fd"), statusMiB("VmRSS")}; }

void PresenceSweep(benchmark::State& state) {
    static const std::string benchError = makeBench();
    if (!benchError.empty()) {
        state.SkipWithError(benchError.c_str());
        for (auto _ : state) {
        }
        return;
    }
    auto count = static_cast<std::uint32_t>(state.range(0));
    char pattern[] = "/tmp/anvil-sweep-XXXXXX";
    fs::path folder = ::mkdtemp(pattern);
    std::vector<Lease> leases;
    for (std::uint32_t i = 0; i < count; ++i)
        leases.push_back(Lease{MACAddress{{0x02, 0x88, 0, 0, static_cast<std::uint8_t>(i >> 8),
                                           static_cast<std::uint8_t>(i)}},
                               IPv4Address{firstLeased.value + i}, Lease::State::bound, Date{4'000'000'000.0},
                               std::nullopt, std::nullopt, std::nullopt, Date{0}, Date{0}});
    LeaseFile leaseFile(folder / "leases.json");
    leaseFile.save(LeaseTable(std::move(leases), {}));

    ServerConfig config{IPv4Address{10, 88, 0, 1}, 18, firstLeased, IPv4Address{firstLeased.value + count - 1}, 3600,
                        std::nullopt, {}};
    CardRun::Seams seams;
    // The card's link state lives in the outer namespace's /sys; this card is up.
    seams.host.mediaStatus = [](const std::string&) { return Interfaces::MediaStatus{true, std::nullopt}; };
    seams.timers.presenceFirstRun = 3600;  // the sweep is started by hand below

    Sample before = sample();
    Sample peak;
    double sweepSeconds = 0;
    double stopMilliseconds = 0;
    std::uint32_t offline = 0;
    for (auto _ : state) {
        auto server = std::make_unique<CardRun>(
            CardRun::Options{config, TransportMode::interface(card), std::nullopt, leaseFile, true}, seams);
        auto events = server->events();
        server->start();
        while (events->tryNext()) {
        }
        auto started = Clock::now();
        server->refreshPresence();
        auto deadline = started + std::chrono::seconds(120);
        while (offline < count && Clock::now() < deadline) {
            while (auto event = events->tryNext())
                if (auto presence = event->as<ServerEvent::Presence>(); presence && presence->state == PresenceState::offline)
                    ++offline;
            auto now = sample();
            peak.threads = std::max(peak.threads, now.threads);
            peak.descriptors = std::max(peak.descriptors, now.descriptors);
            peak.residentMiB = std::max(peak.residentMiB, now.residentMiB);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        sweepSeconds = std::chrono::duration<double>(Clock::now() - started).count();
        state.SetIterationTime(sweepSeconds);

        // The next sweep's probes are out when the server stops.
        server->refreshPresence();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto stopping = Clock::now();
        server->stop();
        server.reset();
        stopMilliseconds = std::chrono::duration<double, std::milli>(Clock::now() - stopping).count();
    }
    fs::remove_all(folder);
    if (offline < count) state.SkipWithError("not every lease was found offline within 120 s");
    state.counters["leases"] = count;
    state.counters["sweep_s"] = sweepSeconds;
    state.counters["threads_before"] = before.threads;
    state.counters["threads_max"] = peak.threads;
    state.counters["fds_max"] = peak.descriptors;
    state.counters["rss_MiB_max"] = peak.residentMiB;
    state.counters["stop_ms"] = stopMilliseconds;
}

BENCHMARK(PresenceSweep)->Arg(10)->Arg(500)->Arg(5000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace anvil
