#pragma once
// The lease table kept across runs: leases.json, a snapshot replaced atomically, and beside it
// leases.json.journal, the changes made since that snapshot. Files that cannot be decoded are
// moved aside, never lost.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/addressing/date.hpp"
#include "core/leases/lease_file_error.hpp"
#include "core/leases/lease_table.hpp"

namespace anvil {

struct LeaseFile {
    struct LoadResult {
        LeaseTable table;
        // Where an undecodable file was moved; the caller raises the set-aside notice with it.
        std::optional<std::filesystem::path> setAsideURL;
        // Where a damaged journal was moved; the snapshot and the journal's good records still load.
        std::optional<std::filesystem::path> journalSetAsideURL;
        // Bytes of an unfinished write at the journal's end that were ignored.
        std::size_t journalBytesDropped = 0;

        friend bool operator==(const LoadResult&, const LoadResult&) = default;
    };

    static constexpr int currentVersion = 1;

    std::filesystem::path url;

    explicit LeaseFile(std::filesystem::path url) : url(std::move(url)) {}

    // $XDG_DATA_HOME (or ~/.local/share) + "/DHCP Anvil/leases.json".
    static std::filesystem::path defaultURL();
    // The same rule with the environment given; unset or relative values are ignored.
    static std::filesystem::path defaultURL(const char* xdgDataHome, const char* home);

    // The file at `url` as its writer and readers use it, decided once at start: a path through
    // symbolic links becomes the real file's (its journal and lock then sit beside the real
    // file), and every folder on the way to the link and to the real file must be safe from
    // other users (folderTrust). Throws LeaseFileError (Kind::unsafe) with the sentence to show;
    // creates nothing.
    static LeaseFile resolve(const std::filesystem::path& url);

    // The journal of changes beside the snapshot, and its next generation while one is written.
    std::filesystem::path journalURL() const;
    std::filesystem::path nextJournalURL() const;

    // What loading does with a file that cannot be decoded: move it aside and start without it (a
    // server), or refuse with a read error and touch nothing (a reader such as a listing).
    enum class Undecodable { setAside, refuse };

    // Reads the snapshot and replays the journal records newer than it. `now` only names a
    // set-aside file. Throws LeaseFileError when a file cannot be read or moved aside, or cannot be
    // decoded and is refused; the file is then left where it is.
    LoadResult load(Date now, Undecodable undecodable = Undecodable::setAside) const;
    // Writes the whole table as the new snapshot and starts an empty journal. Throws
    // LeaseFileError; the previous snapshot and journal stay complete whatever fails.
    void save(const LeaseTable& table) const;

    // The snapshot's exact text for a table, and its strict reading (throws DecodingError).
    static std::string encode(const LeaseTable& table);
    static LeaseTable decode(std::string_view text);
};

}  // namespace anvil
