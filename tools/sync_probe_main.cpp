// dhcpanvil-sync-probe: how long the disk under a folder takes to make a small append durable,
// the price every ACK pays, written and flushed as the lease journal does.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "core/leases/lease_disk.hpp"

namespace {

namespace fs = std::filesystem;

constexpr const char* usage =
    "usage: dhcpanvil-sync-probe <folder> [count]\n"
    "Appends count 200-byte records (500 by default) to a new file in the folder, each followed by\n"
    "fdatasync, once to a file that grows with each append and once to one allocated ahead as the\n"
    "lease journal is, and prints the median and 99th percentile of each flush in milliseconds.";

constexpr std::size_t recordSize = 200;  // about one lease record with its frame and footer

struct Percentiles {
    double p50 = 0, p99 = 0;
};

Percentiles percentiles(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    auto at = [&](double share) { return times[static_cast<std::size_t>(share * static_cast<double>(times.size() - 1))]; };
    return {at(0.50), at(0.99)};
}

Percentiles probe(const fs::path& file, long count, bool allocatedAhead) {
    const std::string record(recordSize, 'r');
    auto written = anvil::LeaseDisk::OffsetFile::create(file, "probe\n");
    std::uint64_t end = 6;
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    for (long index = 0; index < count; ++index) {
        auto start = std::chrono::steady_clock::now();
        if (allocatedAhead) written.reserve(end + record.size(), 1 << 20);
        written.writeAt(end, record);
        written.flush();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        end += record.size();
    }
    written.close();
    anvil::LeaseDisk::removeQuietly(file);
    return percentiles(std::move(times));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || std::string(argv[1]) == "--help") {
        std::fprintf(argc == 2 ? stdout : stderr, "%s\n", usage);
        return argc == 2 ? 0 : 2;
    }
    long count = 500;
    if (argc == 3) {
        char* end = nullptr;
        count = std::strtol(argv[2], &end, 10);
        if (!*argv[2] || *end || count < 10 || count > 100000) {
            std::fprintf(stderr, "dhcpanvil-sync-probe: count must be a number from 10 to 100000\n%s\n", usage);
            return 2;
        }
    }
    try {
        auto file = fs::path(argv[1]) / (".dhcpanvil-sync-probe-" + std::to_string(::getpid()));
        auto append = probe(file, count, false);
        auto ahead = probe(file, count, true);
        std::printf("fdatasync of a %zu-byte append: p50 %.3f ms, p99 %.3f ms; allocated ahead: p50 %.3f ms, "
                    "p99 %.3f ms (%ld flushes each)\n",
                    recordSize, append.p50, append.p99, ahead.p50, ahead.p99, count);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dhcpanvil-sync-probe: %s\n", error.what());
        return 1;
    }
    return 0;
}
