#pragma once
// The lease table kept across runs in leases.json: replaced atomically on save, and moved
// aside (never lost) when it cannot be decoded.
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/addressing/date.hpp"
#include "core/leases/lease_table.hpp"

namespace anvil {

// A failure to read, move aside or write the lease file; its text is shown to the user.
struct LeaseFileError : std::runtime_error {
    enum class Kind { read, moveAside, createDirectory, write, replace };

    Kind kind;
    int code;  // the system's error number, 0 when there is none

    LeaseFileError(Kind kind, int code, const std::string& description)
        : std::runtime_error(description), kind(kind), code(code) {}
    std::string description() const { return what(); }
};

struct LeaseFile {
    struct LoadResult {
        LeaseTable table;
        // Where an undecodable file was moved; the caller raises the set-aside notice with it.
        std::optional<std::filesystem::path> setAsideURL;

        friend bool operator==(const LoadResult&, const LoadResult&) = default;
    };

    static constexpr int currentVersion = 1;

    std::filesystem::path url;

    explicit LeaseFile(std::filesystem::path url) : url(std::move(url)) {}

    // $XDG_DATA_HOME (or ~/.local/share) + "/DHCP Anvil/leases.json".
    static std::filesystem::path defaultURL();
    // The same rule with the environment given; unset or relative values are ignored.
    static std::filesystem::path defaultURL(const char* xdgDataHome, const char* home);

    // What loading does with a file that cannot be decoded: move it aside and start empty (a
    // server), or refuse with a read error and touch nothing (a reader such as a listing).
    enum class Undecodable { setAside, refuse };

    // `now` only names a set-aside file. Throws LeaseFileError when the file cannot be read or
    // moved aside, or cannot be decoded and is refused; the file is then left where it is.
    LoadResult load(Date now, Undecodable undecodable = Undecodable::setAside) const;
    // Throws LeaseFileError; the previous file stays complete whatever fails.
    void save(const LeaseTable& table) const;

    // The file's exact text for a table, and its strict reading (throws DecodingError).
    static std::string encode(const LeaseTable& table);
    static LeaseTable decode(std::string_view text);
};

}  // namespace anvil
