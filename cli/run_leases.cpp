#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli/cli_error.hpp"
#include "cli/lease_listing.hpp"
#include "cli/runners.hpp"
#include "core/addressing/system_clock.hpp"
#include "core/host/system_makers.hpp"
#include "core/leases/lease_file.hpp"

namespace anvil {

namespace {

// The error's reason without the file name it starts with, so the message can name the whole path.
std::string reasonOf(const LeaseFileError& error, const std::filesystem::path& path) {
    if (error.code != 0) return std::strerror(error.code);
    std::string text = error.description();
    std::string prefix = "Could not read " + path.filename().string() + ": ";
    return text.starts_with(prefix) ? text.substr(prefix.size()) : text;
}

}  // namespace

int runLeases(const LeasesOptions& options) {
    auto path = options.leasePath ? std::filesystem::absolute(*options.leasePath) : LeaseFile::defaultURL();
    Date now = systemNow();
    LeaseFile::LoadResult loaded;
    try {
        // A listing only reads: a file it cannot decode is reported, never moved aside. It reads
        // what a server would write, and refuses what a server would refuse.
        loaded = LeaseFile::resolve(path).load(now, LeaseFile::Undecodable::refuse);
    } catch (const LeaseFileError& error) {
        throw CLIError::failure("could not read " + path.string() + ": " + reasonOf(error, path));
    }
    const auto& table = loaded.table;
    auto lines = options.json ? leaseListingJSON(table, now, SystemMakers::lookup)
                              : leaseListing(table, now, SystemMakers::lookup);
    if (lines.empty() && !options.json) std::printf("No leases in %s.\n", path.c_str());
    for (const auto& line : lines) std::printf("%s\n", line.c_str());
    return 0;
}

}  // namespace anvil
