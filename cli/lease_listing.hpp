#pragma once
// The lease table as `dhcpanvil leases` prints it: aligned text rows, or one JSON object per line.
#include <optional>
#include <string>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/addressing/maker_registry.hpp"
#include "core/leases/lease_table.hpp"

namespace anvil {

struct LeasesOptions {
    std::optional<std::string> leasePath;
    bool json = false;

    friend bool operator==(const LeasesOptions&, const LeasesOptions&) = default;
};

// Throws CLIError (isUsage true) at the first unknown argument or missing value.
LeasesOptions parseLeases(const std::vector<std::string>& arguments);

// Leases in display order (address, hardware address, maker, host name, state, time left), then the
// quarantined addresses.
std::vector<std::string> leaseListing(const LeaseTable& table, Date now, const MakerLookup& maker);
std::vector<std::string> leaseListingJSON(const LeaseTable& table, Date now, const MakerLookup& maker);

}  // namespace anvil
