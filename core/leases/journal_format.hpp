#pragma once
// The bytes of the lease journal: a header naming the snapshot it extends, then records, each
// framed by a length and a checksum so that one torn by a crash is recognised. Each flush ends
// with a batch footer in the same write: bytes after the last whole footer were never flushed.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/leases/table_change.hpp"

namespace anvil::JournalFormat {

// CRC-32C (Castagnoli) of the bytes.
std::uint32_t checksum(std::string_view bytes);

// Which leases.json a journal extends: its length and checksum, or its absence.
struct SnapshotIdentity {
    bool present = false;
    std::uint64_t length = 0;
    std::uint32_t checksum = 0;

    static SnapshotIdentity of(std::optional<std::string_view> snapshot);
    friend bool operator==(const SnapshotIdentity&, const SnapshotIdentity&) = default;
};

struct Header {
    SnapshotIdentity snapshot;
    // The last sequence number the snapshot holds; the journal's records follow it.
    std::uint64_t baseSequence = 0;
    // Journals written before footers existed end their flushes with nothing: their records
    // count once their group is whole.
    bool batchFooters = true;

    friend bool operator==(const Header&, const Header&) = default;
};

inline constexpr std::size_t headerSize = 40;
// Far beyond the largest lease object; a longer length field is damage, not a record.
inline constexpr std::size_t largestRecordBody = 16384;

std::string encodeHeader(const Header& header);

// One record. `endsGroup` marks the last record of a group that is applied whole or not at all.
void appendRecord(std::string& out, std::uint64_t sequence, const TableChange& change, bool endsGroup);

// Closes a flush: `batchLength` bytes of records before it, the last numbered `lastSequence`.
void appendFooter(std::string& out, std::uint64_t lastSequence, std::uint64_t batchLength);

struct Entry {
    std::uint64_t sequence = 0;
    TableChange change;

    friend bool operator==(const Entry&, const Entry&) = default;
};

struct Scan {
    enum class Outcome {
        clean,    // every byte belongs to a whole group
        torn,     // the bytes after the last whole group (or batch) were never flushed whole
        damaged,  // a bad header, or bad bytes with a flushed batch (or a good record) after them
    };

    Outcome outcome = Outcome::clean;
    std::optional<Header> header;
    // The records of whole groups, in file order, sequence numbers consecutive up to
    // entriesBeforeDamage; after damage, the whole records of later flushed batches, numbers rising.
    std::vector<Entry> entries;
    std::size_t entriesBeforeDamage = 0;
    // Bytes up to the end of the last whole group: where the next record may be written.
    std::size_t validLength = 0;
    // Bytes after validLength (torn) or from the bad record on (damaged).
    std::size_t droppedBytes = 0;
};

// Reads a journal's bytes. Never throws; bounded work for any input.
Scan scan(std::string_view bytes);

}  // namespace anvil::JournalFormat
