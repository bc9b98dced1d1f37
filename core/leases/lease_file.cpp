#include "core/leases/lease_file.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "core/addressing/decoding_error.hpp"
#include "core/leases/journal_format.hpp"
#include "core/leases/lease_disk.hpp"
#include "core/leases/lease_file_format.hpp"
#include "core/leases/lease_journal.hpp"

namespace anvil {

namespace {

namespace fs = std::filesystem;
using JournalFormat::Scan;

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

struct JournalOnDisk {
    fs::path url;
    std::optional<std::string> bytes;
    Scan scan;

    explicit JournalOnDisk(fs::path at) : url(std::move(at)), bytes(LeaseDisk::read(url)) {
        if (bytes) scan = JournalFormat::scan(*bytes);
    }
    bool exists() const { return bytes.has_value(); }
    // A journal whose creation was cut short before its header was whole holds nothing.
    bool holdsSomething() const { return exists() && (scan.header || scan.outcome == Scan::Outcome::damaged); }
    bool extends(const JournalFormat::SnapshotIdentity& snapshot) const {
        return scan.header && scan.header->snapshot == snapshot;
    }
};

// Applies the journal's records that follow `last`; false when they do not follow on.
// Past damage (in this journal or an earlier one of the chain) the numbers may skip the lost
// records; the later ones still hold full states.
bool replay(const JournalOnDisk& journal, LeaseTable& table, std::uint64_t& last, bool pastDamage) {
    const auto& entries = journal.scan.entries;
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const auto& entry = entries[index];
        if (entry.sequence <= last) continue;
        if (entry.sequence != last + 1 && !pastDamage && index < journal.scan.entriesBeforeDamage) return false;
        table.applyUnrecorded(entry.change);
        last = entry.sequence;
    }
    return true;
}

}  // namespace

fs::path LeaseFile::defaultURL() {
    std::string home = environmentValue("HOME");
    if (home.empty()) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    std::string dataHome = environmentValue("XDG_DATA_HOME");
    return defaultURL(dataHome.c_str(), home.c_str());
}

fs::path LeaseFile::defaultURL(const char* xdgDataHome, const char* home) {
    fs::path base;
    if (xdgDataHome && xdgDataHome[0] == '/')
        base = xdgDataHome;
    else if (home && home[0] != '\0')
        base = fs::path(home) / ".local" / "share";
    else
        base = fs::path(".local") / "share";
    return base / "DHCP Anvil" / "leases.json";
}

fs::path LeaseFile::journalURL() const { return fs::path(url.string() + ".journal"); }

fs::path LeaseFile::nextJournalURL() const { return fs::path(url.string() + ".journal.next"); }

std::string LeaseFile::encode(const LeaseTable& table) { return LeaseFileFormat::encode(table); }

LeaseTable LeaseFile::decode(std::string_view text) { return LeaseFileFormat::decode(text); }

namespace {

// The files as read at one moment, and what a load makes of them before anything is moved.
struct Reading {
    std::optional<std::string> snapshot;
    JournalOnDisk current, next;

    explicit Reading(const LeaseFile& file)
        : snapshot(LeaseDisk::read(file.url)), current(file.journalURL()), next(file.nextJournalURL()) {}
};

std::string headerOf(const std::optional<std::string>& bytes) {
    return bytes ? bytes->substr(0, JournalFormat::headerSize) : std::string("none");
}

// A running server's compaction renames files; a reader that came in between sees a snapshot and
// journals of different moments, which must not be taken for damage.
bool changedSince(const LeaseFile& file, const Reading& reading) {
    Reading again(file);
    return again.snapshot != reading.snapshot || headerOf(again.current.bytes) != headerOf(reading.current.bytes) ||
           headerOf(again.next.bytes) != headerOf(reading.next.bytes);
}

}  // namespace

LeaseFile::LoadResult LeaseFile::load(Date now, Undecodable undecodable) const {
    for (int attempt = 1;; ++attempt) {
        Reading reading(*this);
        LoadResult result;
        bool snapshotUndecodable = false;
        std::string decodingError;
        if (reading.snapshot) {
            try {
                result.table = LeaseFileFormat::decode(*reading.snapshot);
            } catch (const DecodingError& error) {
                snapshotUndecodable = true;
                decodingError = error.what();
            } catch (const std::bad_alloc&) {
                // Too large to decode in memory: refuse to touch it, like an unreadable file.
                throw LeaseFileError(LeaseFileError::Kind::read, ENOMEM,
                                     "Could not read " + url.filename().string() + ": " + std::strerror(ENOMEM));
            }
        }
        const auto &current = reading.current, &next = reading.next;
        std::vector<const JournalOnDisk*> aside;
        if (snapshotUndecodable) {
            // The changes of an undecodable snapshot mean nothing without it: they go aside with it.
            for (const auto* journal : {&current, &next})
                if (journal->holdsSomething()) aside.push_back(journal);
        } else if (current.exists() || next.exists()) {
            auto identity = JournalFormat::SnapshotIdentity::of(
                reading.snapshot ? std::optional<std::string_view>(*reading.snapshot) : std::nullopt);
            // Which journals extend this snapshot: the next generation alone once the snapshot
            // written with it is in place; before that, the current journal and then whatever the
            // next one already took over from it.
            std::vector<const JournalOnDisk*> chain;
            if (next.extends(identity))
                chain = {&next};
            else if (current.extends(identity))
                chain = {&current, &next};
            else
                // Journals of another snapshot (the file was replaced by hand, or removed).
                for (const auto* journal : {&current, &next})
                    if (journal->holdsSomething()) aside.push_back(journal);
            std::uint64_t last = chain.empty() ? 0 : chain.front()->scan.header->baseSequence;
            for (const auto* journal : chain) {
                if (!journal->exists() || !journal->scan.header) continue;
                bool pastDamage = !aside.empty();
                if (!replay(*journal, result.table, last, pastDamage) || pastDamage ||
                    journal->scan.outcome == Scan::Outcome::damaged) {
                    aside.push_back(journal);
                    continue;
                }
                if (journal->scan.outcome == Scan::Outcome::torn)
                    result.journalBytesDropped += journal->scan.droppedBytes;
            }
        }
        if ((snapshotUndecodable || !aside.empty()) && attempt < 5 && changedSince(*this, reading)) continue;
        if (undecodable == Undecodable::refuse) {
            const std::string name = url.filename().string();
            if (snapshotUndecodable)
                throw LeaseFileError(LeaseFileError::Kind::read, 0, "Could not read " + name + ": " + decodingError);
            if (!aside.empty())
                throw LeaseFileError(LeaseFileError::Kind::read, 0,
                                     "Could not read " + name + ": its journal " +
                                         aside.front()->url.filename().string() +
                                         " is damaged or belongs to another snapshot");
        }
        if (snapshotUndecodable) {
            result.table = LeaseTable{};
            result.setAsideURL = LeaseDisk::moveAside(url, now);
        }
        for (const auto* journal : aside) {
            auto movedTo = LeaseDisk::moveAside(journal->url, now);
            if (!result.journalSetAsideURL) result.journalSetAsideURL = movedTo;
        }
        // A set-aside forgotten by a crash would bring the damaged journal back.
        if (result.setAsideURL || !aside.empty()) LeaseDisk::syncDirectory(url);
        result.table.takeChanges();
        return result;
    }
}

void LeaseFile::save(const LeaseTable& table) const { LeaseJournal::open(*this, table); }

}  // namespace anvil
