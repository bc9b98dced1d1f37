// Address choice (also at 50,000), holder lookup and the lease file at 10, 250 and 5,000 held leases in a /16;
// the cost of one commit at 10, 5,000 and 50,000 leases; loading a snapshot and its journal.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "core/leases/address_choice.hpp"
#include "core/leases/lease_file.hpp"
#include "core/leases/lease_journal.hpp"
#include "core/leases/lease_table.hpp"

namespace anvil {
namespace {

const IPv4Address serverIP{10, 0, 0, 1};
const AddressRange range{IPv4Address{10, 0, 0, 2}, IPv4Address{10, 0, 255, 254}};
const Date now{1'735'787'045};

MACAddress clientNumber(std::uint32_t number) {
    return MACAddress{{0x02, 0x00, static_cast<std::uint8_t>(number >> 24), static_cast<std::uint8_t>(number >> 16),
                       static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)}};
}

// The first `count` addresses of the range, each bound to its own client.
LeaseTable heldTable(std::int64_t count) {
    std::vector<Lease> leases;
    for (std::uint32_t index = 0; index < count; ++index)
        leases.push_back(Lease{clientNumber(index), IPv4Address{range.lowerBound.value + index}, Lease::State::bound,
                               now.addingSeconds(3600), "device-" + std::to_string(index), "udhcp 1.36.1", std::nullopt,
                               now.addingSeconds(-600), now.addingSeconds(-60)});
    return LeaseTable(std::move(leases), {});
}

// The judgements as the responder makes them: in range, not the server, not quarantined.
AddressJudgement usableIn(const LeaseTable& table) {
    return [&table](IPv4Address ip) { return range.contains(ip) && ip != serverIP && !table.isQuarantined(ip, now); };
}
const AddressJudgement nobodyOffline = [](IPv4Address) { return false; };

void chooseForNewClient(benchmark::State& state) {
    auto table = heldTable(state.range(0));
    auto isUsable = usableIn(table);
    const MACAddress newcomer = clientNumber(0xFFFFFF);
    for (auto _ : state) {
        auto chosen = chooseAddress(newcomer, std::nullopt, table, range, isUsable, nobodyOffline, now);
        benchmark::DoNotOptimize(chosen);
    }
}
BENCHMARK(chooseForNewClient)->Arg(10)->Arg(250)->Arg(5000)->Arg(50000)->Unit(benchmark::kMicrosecond);

// For comparison: the same walk asking a linear holder scan at every address.
void chooseByPlainScan(benchmark::State& state) {
    auto table = heldTable(state.range(0));
    auto isUsable = usableIn(table);
    const MACAddress newcomer = clientNumber(0xFFFFFF);
    for (auto _ : state) {
        std::optional<IPv4Address> chosen;
        for (std::uint64_t value = range.lowerBound.value; value <= range.upperBound.value && !chosen; ++value) {
            IPv4Address ip{static_cast<std::uint32_t>(value)};
            auto holder = table.holder(ip, now);
            if ((!holder || holder->mac == newcomer) && isUsable(ip)) chosen = ip;
        }
        benchmark::DoNotOptimize(chosen);
    }
}
BENCHMARK(chooseByPlainScan)->Arg(10)->Arg(250)->Arg(5000)->Unit(benchmark::kMicrosecond);

// A table of bound devices, some gone (released or run out), below the limit of inactive leases:
// what every new device's decision asks first.
void makeRoomAmongGoneDevices(benchmark::State& state) {
    auto table = heldTable(state.range(0));
    for (std::uint32_t index = 0; index < 500; ++index) {
        auto lease = *table.lease(clientNumber(index * 7));
        lease.state = index % 2 ? Lease::State::released : Lease::State::bound;
        lease.expiresAt = now.addingSeconds(-10);
        table.upsert(lease);
    }
    for (auto _ : state) benchmark::DoNotOptimize(table.makeRoomForNewClient(now));
}
BENCHMARK(makeRoomAmongGoneDevices)->Arg(5000)->Arg(50000)->Unit(benchmark::kMicrosecond);

// The last held address: the longest scan.
void holderLookup(benchmark::State& state) {
    auto table = heldTable(state.range(0));
    const IPv4Address last{range.lowerBound.value + static_cast<std::uint32_t>(state.range(0)) - 1};
    for (auto _ : state) benchmark::DoNotOptimize(table.holder(last, now));
}
BENCHMARK(holderLookup)->Arg(10)->Arg(250)->Arg(5000)->Unit(benchmark::kMicrosecond);

// What every save pays before touching the disk.
void encode(benchmark::State& state) {
    auto table = heldTable(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(LeaseFile::encode(table));
}
BENCHMARK(encode)->Arg(10)->Arg(250)->Arg(5000)->Unit(benchmark::kMicrosecond);

void encodeAndDecode(benchmark::State& state) {
    auto table = heldTable(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(LeaseFile::decode(LeaseFile::encode(table)));
}
BENCHMARK(encodeAndDecode)->Arg(10)->Arg(250)->Arg(5000)->Unit(benchmark::kMicrosecond);

// Includes the two flushes to disk, which usually dominate.
void saveAndLoad(benchmark::State& state) {
    char pattern[] = "/tmp/anvil-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    LeaseFile file(std::filesystem::path(pattern) / "leases.json");
    auto table = heldTable(state.range(0));
    for (auto _ : state) {
        file.save(table);
        benchmark::DoNotOptimize(file.load(now));
    }
    std::filesystem::remove_all(pattern);
}
BENCHMARK(saveAndLoad)->Arg(10)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);

// A range large enough for 50,000 leases.
LeaseTable largeTable(std::int64_t count) {
    std::vector<Lease> leases;
    for (std::uint32_t index = 0; index < count; ++index)
        leases.push_back(Lease{clientNumber(index), IPv4Address{0x0A000002u + index}, Lease::State::released,
                               now.addingSeconds(3600), "device-" + std::to_string(index), "udhcp 1.36.1", std::nullopt,
                               now.addingSeconds(-600), now.addingSeconds(-60)});
    return LeaseTable(std::move(leases), {});
}

// One group commit as the server makes it when a device is bound: the changed lease logged by
// the table, one record appended and flushed. Compare saveAndLoad, which every commit used to
// cost.
void journalCommit(benchmark::State& state) {
    char pattern[] = "/tmp/anvil-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    LeaseFile file(std::filesystem::path(pattern) / "leases.json");
    auto table = largeTable(state.range(0));
    auto journal = LeaseJournal::open(file, table);
    std::uint32_t turn = 0;
    for (auto _ : state) {
        auto lease = table.leases()[turn++ % table.leases().size()];
        lease.state = lease.state == Lease::State::bound ? Lease::State::released : Lease::State::bound;
        table.upsert(lease);
        journal->record(table.takeChanges());
        journal->flush();
    }
    journal.reset();
    std::filesystem::remove_all(pattern);
}
BENCHMARK(journalCommit)->Arg(10)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);

// A whole compaction: the snapshot and a new journal, as at start and stop (while serving it
// runs off the server's queue).
void compaction(benchmark::State& state) {
    char pattern[] = "/tmp/anvil-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    LeaseFile file(std::filesystem::path(pattern) / "leases.json");
    auto table = largeTable(state.range(0));
    auto journal = LeaseJournal::open(file, table);
    for (auto _ : state) journal->compactNow(table);
    journal.reset();
    std::filesystem::remove_all(pattern);
}
BENCHMARK(compaction)->Arg(10)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);

// The part of a compaction on the server's queue, which replies wait behind: taking the copy of
// the table that the snapshot is written from.
void compactionBegin(benchmark::State& state) {
    char pattern[] = "/tmp/anvil-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    LeaseFile file(std::filesystem::path(pattern) / "leases.json");
    auto table = largeTable(state.range(0));
    auto journal = LeaseJournal::open(file, table);
    for (auto _ : state) {
        auto begun = journal->beginCompaction(table);
        state.PauseTiming();
        journal->settle(*begun, false);
        begun.reset();
        state.ResumeTiming();
    }
    journal.reset();
    std::filesystem::remove_all(pattern);
}
BENCHMARK(compactionBegin)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);

// A start: a snapshot of `range(0)` leases and a journal of as many records, one in ten a
// removal and the rest renewals, in batches of 100 as a busy server flushes them.
void loadWithJournal(benchmark::State& state) {
    char pattern[] = "/tmp/anvil-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    LeaseFile file(std::filesystem::path(pattern) / "leases.json");
    {
        auto table = largeTable(state.range(0));
        auto journal = LeaseJournal::open(file, table);
        auto count = static_cast<std::uint32_t>(state.range(0));
        for (std::uint32_t record = 0; record < count; ++record) {
            // Spread over the table, so removals reach every part of it.
            auto mac = clientNumber((record * 7919u) % count);
            if (record % 10 == 9) {
                table.remove(mac);
            } else if (auto lease = table.lease(mac)) {
                lease->state = Lease::State::bound;
                lease->lastSeen = now.addingSeconds(record);
                table.upsert(*lease);
            }
            if (auto changes = table.takeChanges(); !changes.empty()) journal->record(changes);
            if (record % 100 == 99) journal->flush();
        }
        journal->flush();
    }
    for (auto _ : state) benchmark::DoNotOptimize(file.load(now));
    state.SetLabel("leases and records=" + std::to_string(state.range(0)));
    std::filesystem::remove_all(pattern);
}
BENCHMARK(loadWithJournal)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace anvil
