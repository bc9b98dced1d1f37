// Writes a lease file and its journal, whole and cut short, as the lease fuzzer's first inputs.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/leases/lease_journal.hpp"

namespace {

namespace fs = std::filesystem;
using namespace anvil;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Lease device(std::uint8_t number, Lease::State state) {
    return Lease{MACAddress{{0x02, 0, 0, 0, 0, number}},
                 IPv4Address(192, 168, 2, number),
                 state,
                 Date{1'800'000'000},
                 "camera-" + std::to_string(number),
                 std::nullopt,
                 std::nullopt,
                 Date{1'735'787'045},
                 Date{1'735'787'045}};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    auto work = fs::temp_directory_path() / ("anvil-lease-seeds-" + std::to_string(::getpid()));
    fs::create_directories(work);
    LeaseFile file(work / "leases.json");
    auto journal = LeaseJournal::open(file, LeaseTable({device(10, Lease::State::bound)}, {}));
    journal->record({TableChange::put(device(11, Lease::State::bound))});
    journal->flush();
    journal->record({TableChange::put(device(10, Lease::State::released)),
                     TableChange::put(Quarantine{IPv4Address(192, 168, 2, 12), Date{1'800'000'000},
                                                 MACAddress{{0x02, 0, 0, 0, 0, 12}}})});
    journal->flush();
    journal->record({TableChange::removeLease(MACAddress{{0x02, 0, 0, 0, 0, 11}})});
    journal->flush();
    auto snapshot = readFile(file.url);
    auto records = readFile(file.journalURL());
    journal.reset();
    fs::remove_all(work);

    auto seed = [&](std::uint8_t flags, const std::string& journalBytes) {
        std::string bytes(1, static_cast<char>(flags));
        bytes += static_cast<char>(snapshot.size() & 0xFF);
        bytes += static_cast<char>((snapshot.size() >> 8) & 0xFF);
        return bytes + snapshot + journalBytes;
    };
    const std::string seeds[] = {seed(3, records), seed(3, records.substr(0, records.size() - 25)), seed(7, records),
                                 seed(0, records)};
    int index = 0;
    for (const auto& bytes : seeds) {
        auto path = fs::path(argv[1]) / ("lease-seed-" + std::to_string(index++));
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    return 0;
}
