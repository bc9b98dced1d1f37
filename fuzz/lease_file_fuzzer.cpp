// Feeds arbitrary bytes to the lease file loader as leases.json and as its journal: the load
// must end in a table, a set-aside or a thrown LeaseFileError, never a crash or a hang.
//
// Input: one byte of flags, two bytes of snapshot length, the snapshot, then the journal.
//   flag 1: the journal's header is made to name the snapshot, so that its records are replayed
//   flag 2: the records' checksums are made to hold, so that their contents are decoded
//   flag 4: the journal is written as the next generation instead
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "core/leases/journal_format.hpp"
#include "core/leases/lease_file.hpp"

namespace {

namespace fs = std::filesystem;
using namespace anvil;

void putInteger(std::string& bytes, std::size_t at, std::uint64_t value, int count) {
    for (int index = 0; index < count; ++index)
        bytes[at + static_cast<std::size_t>(index)] = static_cast<char>((value >> (8 * index)) & 0xFF);
}

std::uint64_t getInteger(std::string_view bytes, std::size_t at, int count) {
    std::uint64_t value = 0;
    for (int index = 0; index < count; ++index)
        value |= std::uint64_t{static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(index)])} << (8 * index);
    return value;
}

void nameSnapshot(std::string& journal, std::string_view snapshot) {
    if (journal.size() < JournalFormat::headerSize) return;
    auto identity = JournalFormat::SnapshotIdentity::of(snapshot);
    putInteger(journal, 12, 1, 4);
    putInteger(journal, 16, identity.length, 8);
    putInteger(journal, 24, identity.checksum, 4);
    putInteger(journal, 36, JournalFormat::checksum(std::string_view(journal).substr(0, 36)), 4);
}

void fixChecksums(std::string& journal) {
    std::size_t at = JournalFormat::headerSize;
    while (at + 12 <= journal.size()) {
        auto length = getInteger(journal, at + 4, 4);
        if (length > JournalFormat::largestRecordBody || length > journal.size() - at - 12) break;
        putInteger(journal, at + 8, JournalFormat::checksum(std::string_view(journal).substr(at + 12, length)), 4);
        at += 12 + length;
    }
}

void write(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

const fs::path& folder() {
    static const fs::path made = [] {
        fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        auto path = base / ("anvil-lease-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(path);
        std::atexit([] { fs::remove_all(folder()); });
        return path;
    }();
    return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    auto flags = static_cast<std::uint8_t>(input[0]);
    auto snapshotLength = std::min<std::size_t>(getInteger(input, 1, 2), size - 3);
    std::string snapshot(input.substr(3, snapshotLength));
    std::string journal(input.substr(3 + snapshotLength));
    if (flags & 2) fixChecksums(journal);
    if (flags & 1) nameSnapshot(journal, snapshot);

    // The journal alone: every byte is accounted for.
    auto scan = JournalFormat::scan(journal);
    if (scan.validLength + scan.droppedBytes != journal.size() && scan.outcome != JournalFormat::Scan::Outcome::damaged)
        std::abort();

    for (const auto& entry : fs::directory_iterator(folder())) fs::remove(entry.path());
    LeaseFile file(folder() / "leases.json");
    write(file.url, snapshot);
    write((flags & 4) ? file.nextJournalURL() : file.journalURL(), journal);
    try {
        auto loaded = file.load(Date{1'735'787'045});
        // What was loaded is what the next save writes: it must encode and read back.
        if (!loaded.setAsideURL && LeaseFile::decode(LeaseFile::encode(loaded.table)) != loaded.table) std::abort();
    } catch (const LeaseFileError&) {
    }
    return 0;
}
