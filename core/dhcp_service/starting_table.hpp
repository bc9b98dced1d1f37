#pragma once
// The lease table a server starts with, from the file as it was read, and what the user hears of
// how it was found.
#include <string>
#include <variant>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/addressing/server_config.hpp"
#include "core/events/server_event.hpp"
#include "core/leases/lease_file.hpp"
#include "core/leases/lease_table.hpp"

namespace anvil {

struct StartingTable {
    // Without the leases outside the range and the offers that ran out; their removals are
    // recorded changes, as any other.
    LeaseTable table;
    // An unreadable file is never written over.
    bool readable = true;
    // Notices, lines and removals, in the order the front end should hear them.
    std::vector<ServerEvent> reports;
};

// `loaded` is what the lease file gave, or the text of the error that stopped it being read.
StartingTable startingTable(std::variant<LeaseFile::LoadResult, std::string> loaded, AddressRange range, Date now,
                            const std::string& journalName);

}  // namespace anvil
