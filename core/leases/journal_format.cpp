#include "core/leases/journal_format.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/addressing/decoding_error.hpp"
#include "core/leases/crc32c.hpp"
#include "core/leases/lease_file_format.hpp"

namespace anvil::JournalFormat {

namespace {

constexpr char headerMagic[8] = {'A', 'N', 'V', 'I', 'L', 'J', 'N', 'L'};
// Version 1 journals have no batch footers; version 2 ends every flush with one.
constexpr std::uint32_t versionWithoutFooters = 1;
constexpr std::uint32_t versionWithFooters = 2;
constexpr std::uint32_t recordMagic = 0x524C4E41;  // "ANLR" in file order
// Magic, body length, body checksum.
constexpr std::size_t frameSize = 12;
// Sequence number, kind, flags.
constexpr std::size_t bodyPrefixSize = 10;
constexpr std::uint8_t endsGroupFlag = 1;
constexpr std::uint8_t footerKind = 5;
constexpr std::size_t footerPayloadSize = 8;

void putInteger(std::string& out, std::uint64_t value, int bytes) {
    for (int index = 0; index < bytes; ++index) out += static_cast<char>((value >> (8 * index)) & 0xFF);
}

std::uint64_t getInteger(std::string_view bytes, std::size_t at, int count) {
    std::uint64_t value = 0;
    for (int index = 0; index < count; ++index)
        value |= std::uint64_t{static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(index)])} << (8 * index);
    return value;
}

std::optional<Header> decodeHeader(std::string_view bytes) {
    if (bytes.size() < headerSize || std::memcmp(bytes.data(), headerMagic, sizeof headerMagic) != 0)
        return std::nullopt;
    if (getInteger(bytes, 36, 4) != checksum(bytes.substr(0, 36))) return std::nullopt;
    auto version = getInteger(bytes, 8, 4);
    if (version != versionWithoutFooters && version != versionWithFooters) return std::nullopt;
    auto flags = getInteger(bytes, 12, 4);
    if (flags > 1) return std::nullopt;
    Header header;
    header.snapshot.present = flags == 1;
    header.snapshot.length = getInteger(bytes, 16, 8);
    header.snapshot.checksum = static_cast<std::uint32_t>(getInteger(bytes, 24, 4));
    header.baseSequence = getInteger(bytes, 28, 8);
    header.batchFooters = version == versionWithFooters;
    return header;
}

TableChange decodeChange(std::uint8_t kind, std::string_view payload) {
    switch (kind) {
        case 1: return TableChange::put(LeaseFileFormat::decodeLease(payload));
        case 2:
            if (auto mac = MACAddress::parse(payload)) return TableChange::removeLease(*mac);
            break;
        case 3: return TableChange::put(LeaseFileFormat::decodeQuarantine(payload));
        case 4:
            if (auto ip = IPv4Address::parse(payload)) return TableChange::removeQuarantine(*ip);
            break;
    }
    throw DecodingError("Unknown journal record");
}

struct Record {
    std::size_t length = 0;  // frame and body
    std::uint64_t sequence = 0;
    std::uint8_t kind = 0;
    bool endsGroup = false;
    std::string_view payload;
};

// A record whose frame is whole and whose checksum holds; its payload is not decoded here.
std::optional<Record> frameAt(std::string_view bytes, std::size_t at) {
    if (bytes.size() - at < frameSize || getInteger(bytes, at, 4) != recordMagic) return std::nullopt;
    auto bodyLength = getInteger(bytes, at + 4, 4);
    if (bodyLength < bodyPrefixSize || bodyLength > largestRecordBody || bodyLength > bytes.size() - at - frameSize)
        return std::nullopt;
    auto body = bytes.substr(at + frameSize, bodyLength);
    if (getInteger(bytes, at + 8, 4) != checksum(body)) return std::nullopt;
    auto flags = static_cast<std::uint8_t>(body[9]);
    if ((flags & ~endsGroupFlag) != 0) return std::nullopt;
    return Record{frameSize + bodyLength, getInteger(body, 0, 8), static_cast<std::uint8_t>(body[8]),
                  (flags & endsGroupFlag) != 0, body.substr(bodyPrefixSize)};
}

constexpr std::string_view recordMagicBytes("ANLR", 4);

// Checksum bytes a search past damage may spend for each byte of the journal: enough for any
// journal this program wrote, and a bound for a file made of record magics.
constexpr std::size_t resyncWorkPerByte = 16;

// Charges the checksum a frame at `at` would cost; false once the search has spent its share.
bool affordFrame(std::string_view bytes, std::size_t at, std::size_t& budget) {
    if (bytes.size() - at < frameSize) return true;
    auto cost = std::min<std::size_t>(getInteger(bytes, at + 4, 4), largestRecordBody) + frameSize;
    if (cost > budget) return false;
    budget -= cost;
    return true;
}

// Whether a good record starts anywhere after `from`: then what lies at `from` is damage, not a
// write that was cut short. Too many look-alikes to tell count as damage.
bool goodRecordAfter(std::string_view bytes, std::size_t from) {
    std::size_t budget = resyncWorkPerByte * bytes.size() + largestRecordBody;
    for (std::size_t at = bytes.find(recordMagicBytes, from + 1); at != std::string_view::npos;
         at = bytes.find(recordMagicBytes, at + 1)) {
        if (!affordFrame(bytes, at, budget)) return true;
        if (frameAt(bytes, at)) return true;
    }
    return false;
}

void appendFrame(std::string& out, std::string_view body) {
    putInteger(out, recordMagic, 4);
    putInteger(out, body.size(), 4);
    putInteger(out, checksum(body), 4);
    out += body;
}

bool isFooter(const Record& record) {
    return record.kind == footerKind && record.payload.size() == footerPayloadSize && !record.endsGroup;
}

std::uint64_t batchLengthOf(const Record& footer) { return getInteger(footer.payload, 0, footerPayloadSize); }

std::optional<Entry> decodeEntry(const Record& record) {
    try {
        return Entry{record.sequence, decodeChange(record.kind, record.payload)};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Past bad bytes at `from`, looks for flushed batches: a footer counts only when the records it
// closes are all whole, so a last flush that reached the disk out of order is a tail, not damage.
// Whole records before such a footer are applied even when their own batch was damaged: each
// holds a lease's full state.
void resynchronise(std::string_view bytes, std::size_t from, Scan& result) {
    std::uint64_t last = result.entries.empty() ? result.header->baseSequence : result.entries.back().sequence;
    std::size_t budget = resyncWorkPerByte * bytes.size() + largestRecordBody;
    std::vector<Entry> pending;
    bool flushedAfterDamage = false;
    constexpr std::size_t none = std::string_view::npos;
    std::size_t batchStart = none;  // none: not inside a run of whole records
    std::size_t at = from + 1;
    while (at < bytes.size()) {
        if (batchStart == none) {
            at = bytes.find(recordMagicBytes, at);
            if (at == none) break;
        }
        if (!affordFrame(bytes, at, budget)) {
            // Too many look-alike records to tell: the rest counts as damage.
            flushedAfterDamage = true;
            break;
        }
        auto record = frameAt(bytes, at);
        std::optional<Entry> entry;
        if (record && !isFooter(*record)) entry = decodeEntry(*record);
        if (!record || (!entry && !isFooter(*record))) {
            batchStart = none;
            ++at;
            continue;
        }
        if (batchStart == none) batchStart = at;
        if (entry) {
            if (entry->sequence > last) {
                last = entry->sequence;
                pending.push_back(std::move(*entry));
            }
        } else {
            if (at - batchStart == batchLengthOf(*record) && at > batchStart) {
                for (auto& kept : pending) result.entries.push_back(std::move(kept));
                pending.clear();
                flushedAfterDamage = true;
            }
            batchStart = at + record->length;
        }
        at += record->length;
    }
    result.droppedBytes = bytes.size() - result.validLength;
    result.outcome = flushedAfterDamage ? Scan::Outcome::damaged : Scan::Outcome::torn;
}

// Shorter zero runs can be the zero bytes of a torn record; longer ones are space never written.
constexpr std::size_t reservedRunMinimum = 64;

// How many zero bytes end `bytes`, not counting any before `from`.
std::size_t trailingZeros(std::string_view bytes, std::size_t from) {
    std::size_t end = bytes.size();
    while (end > from && bytes[end - 1] == '\0') --end;
    return bytes.size() - end;
}

// A journal whose flushes end in footers: only whole batches count.
void scanBatches(std::string_view bytes, Scan& result) {
    std::uint64_t expected = result.header->baseSequence + 1;
    std::size_t at = headerSize;
    result.validLength = at;
    std::vector<Entry> batch;
    bool stopped = false;
    while (at < bytes.size()) {
        auto record = frameAt(bytes, at);
        if (!record) {
            stopped = true;
            break;
        }
        if (isFooter(*record)) {
            if (batch.empty() || batchLengthOf(*record) != at - result.validLength) {
                stopped = true;
                break;
            }
            for (auto& entry : batch) result.entries.push_back(std::move(entry));
            batch.clear();
            at += record->length;
            result.validLength = at;
            continue;
        }
        // The first record may repeat ones the snapshot holds (a compaction copies what was
        // flushed while it ran).
        bool first = result.entries.empty() && batch.empty();
        auto entry = (first ? record->sequence > expected : record->sequence != expected) ? std::nullopt
                                                                                          : decodeEntry(*record);
        if (!entry) {
            stopped = true;
            break;
        }
        batch.push_back(std::move(*entry));
        expected = record->sequence + 1;
        at += record->length;
    }
    result.entriesBeforeDamage = result.entries.size();
    // The file is allocated ahead with zeros: zeros after the last whole batch were never written.
    auto zeros = trailingZeros(bytes, result.validLength);
    if (result.validLength + zeros == bytes.size()) return;
    result.droppedBytes = bytes.size() - result.validLength;
    if (stopped)
        resynchronise(bytes, at, result);
    else if (result.droppedBytes > 0)
        result.outcome = Scan::Outcome::torn;
    // After a torn batch, a long run of zeros is the allocated rest, not part of what was lost.
    if (zeros >= reservedRunMinimum) result.droppedBytes -= zeros;
}

}  // namespace

std::uint32_t checksum(std::string_view bytes) { return crc32c(bytes); }

SnapshotIdentity SnapshotIdentity::of(std::optional<std::string_view> snapshot) {
    if (!snapshot) return {};
    return {true, snapshot->size(), JournalFormat::checksum(*snapshot)};
}

std::string encodeHeader(const Header& header) {
    std::string out(headerMagic, sizeof headerMagic);
    putInteger(out, header.batchFooters ? versionWithFooters : versionWithoutFooters, 4);
    putInteger(out, header.snapshot.present ? 1 : 0, 4);
    putInteger(out, header.snapshot.length, 8);
    putInteger(out, header.snapshot.checksum, 4);
    putInteger(out, header.baseSequence, 8);
    putInteger(out, checksum(out), 4);
    return out;
}

void appendRecord(std::string& out, std::uint64_t sequence, const TableChange& change, bool endsGroup) {
    std::string body;
    body.reserve(320);
    putInteger(body, sequence, 8);
    std::uint8_t kind = 0;
    std::string payload;
    switch (change.kind) {
        case TableChange::Kind::putLease:
            kind = 1;
            LeaseFileFormat::appendLease(payload, change.lease);
            break;
        case TableChange::Kind::removeLease:
            kind = 2;
            payload = change.lease.mac.description();
            break;
        case TableChange::Kind::putQuarantine:
            kind = 3;
            LeaseFileFormat::appendQuarantine(payload, change.quarantine);
            break;
        case TableChange::Kind::removeQuarantine:
            kind = 4;
            payload = change.quarantine.ip.description();
            break;
    }
    body += static_cast<char>(kind);
    body += static_cast<char>(endsGroup ? endsGroupFlag : 0);
    body += payload;
    appendFrame(out, body);
}

void appendFooter(std::string& out, std::uint64_t lastSequence, std::uint64_t batchLength) {
    std::string body;
    putInteger(body, lastSequence, 8);
    body += static_cast<char>(footerKind);
    body += '\0';
    putInteger(body, batchLength, footerPayloadSize);
    appendFrame(out, body);
}

Scan scan(std::string_view bytes) {
    Scan result;
    if (bytes.size() < headerSize) {
        // A header that was never finished: the journal was being created.
        result.outcome = bytes.empty() ? Scan::Outcome::clean : Scan::Outcome::torn;
        result.droppedBytes = bytes.size();
        return result;
    }
    result.header = decodeHeader(bytes);
    if (!result.header) {
        result.outcome = Scan::Outcome::damaged;
        result.droppedBytes = bytes.size();
        return result;
    }
    if (result.header->batchFooters) {
        scanBatches(bytes, result);
        return result;
    }
    std::uint64_t expected = result.header->baseSequence + 1;
    std::size_t at = headerSize;
    result.validLength = at;
    std::vector<Entry> group;
    bool damaged = false;
    while (at < bytes.size()) {
        auto record = frameAt(bytes, at);
        if (!record) {
            damaged = goodRecordAfter(bytes, at);
            break;
        }
        // A good checksum with a wrong number or an unreadable payload was not written by a
        // cut-short write: that is damage. The first record may repeat ones the snapshot holds
        // (a compaction copies what was flushed while it ran).
        bool first = result.entries.empty() && group.empty();
        if (first ? record->sequence > expected : record->sequence != expected) {
            damaged = true;
            break;
        }
        try {
            group.push_back(Entry{record->sequence, decodeChange(record->kind, record->payload)});
        } catch (const std::exception&) {
            damaged = true;
            break;
        }
        expected = record->sequence + 1;
        at += record->length;
        if (record->endsGroup) {
            for (auto& entry : group) result.entries.push_back(std::move(entry));
            group.clear();
            result.validLength = at;
        }
    }
    result.droppedBytes = bytes.size() - result.validLength;
    result.entriesBeforeDamage = result.entries.size();
    if (damaged)
        result.outcome = Scan::Outcome::damaged;
    else if (result.droppedBytes > 0)
        result.outcome = Scan::Outcome::torn;
    return result;
}

}  // namespace anvil::JournalFormat
