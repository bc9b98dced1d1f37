#include "core/leases/lease_file.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/addressing/decoding_error.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/leases/folder_trust.hpp"
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

namespace {

LeaseFileError unsafe(const std::string& sentence) { return LeaseFileError(LeaseFileError::Kind::unsafe, 0, sentence); }

std::optional<fs::path> realPath(const fs::path& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) return std::nullopt;
    return fs::path(real.get());
}

// `folder` has no links in it; it and every folder above it must be safe from other users.
void checkFolders(const fs::path& folder, FolderRole last) {
    const auto user = static_cast<std::uint32_t>(::geteuid());
    fs::path at;
    for (auto piece = folder.begin(); piece != folder.end(); ++piece) {
        at /= *piece;
        struct stat status {};
        if (::lstat(at.c_str(), &status) != 0)
            throw unsafe("Could not check the folder " + plainText(at.string()) + ": " + std::strerror(errno));
        // Checked from / down, so a link here means a trusted folder changed under the check.
        if (!S_ISDIR(status.st_mode))
            throw unsafe("The folder " + plainText(at.string()) + " changed while it was checked; try again");
        auto role = std::next(piece) == folder.end() ? last : FolderRole::above;
        auto trust = folderTrust(role, status.st_uid, status.st_mode, user);
        if (trust != FolderTrust::trusted) throw unsafe(folderRefusal(role, trust, at));
    }
}

}  // namespace

LeaseFile LeaseFile::resolve(const fs::path& url) {
    std::error_code error;
    fs::path given = fs::absolute(url, error);
    if (error) throw unsafe("Could not find " + plainText(url.string()) + ": " + error.message());
    given = given.lexically_normal();
    // The folders that are missing are made by the writer, private, and checked again once made
    // (LeaseFileLock::acquire): one made first by another user is refused then.
    fs::path existing = given.parent_path();
    fs::path missing;
    while (!fs::is_directory(existing, error) && existing != existing.root_path()) {
        missing = existing.filename() / missing;
        existing = existing.parent_path();
    }
    auto realFolder = realPath(existing);
    if (!realFolder)
        throw unsafe("Could not find the folder " + plainText(existing.string()) + ": " + std::strerror(errno));
    checkFolders(*realFolder, missing.empty() ? FolderRole::leaseFolder : FolderRole::above);
    if (!missing.empty()) return LeaseFile((*realFolder / missing / given.filename()).lexically_normal());
    fs::path inRealFolder = *realFolder / given.filename();
    struct stat status {};
    if (::lstat(inRealFolder.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return LeaseFile(inRealFolder);
    // A link is followed once, here: replacing it by a copy would leave the real file behind, and
    // the journal and lock beside the link would not be the ones beside the real file.
    auto real = realPath(inRealFolder);
    if (!real)
        throw unsafe(plainText(given.string()) + " is a symbolic link that leads to no file (" + std::strerror(errno) +
                     "); point it at the lease file or use the lease file's own path");
    checkFolders(real->parent_path(), FolderRole::leaseFolder);
    return LeaseFile(*real);
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
