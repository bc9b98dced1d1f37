#pragma once
// The text of leases.json (the snapshot) and of one lease or quarantine object in it.
#include <string>
#include <string_view>

#include "core/leases/lease_table.hpp"

namespace anvil::LeaseFileFormat {

inline constexpr int currentVersion = 1;

// The file's exact text: pretty-printed, keys sorted, dates in whole seconds.
std::string encode(const LeaseTable& table);
// Strict reading; one record per hardware address is kept. Throws DecodingError.
LeaseTable decode(std::string_view text);
// The same through the general JSON parser alone, which decode() leaves all but plain text to.
LeaseTable decodeByParser(std::string_view text);

// One object as it appears in the file, at the top level (journal records carry these).
void appendLease(std::string& out, const Lease& lease);
void appendQuarantine(std::string& out, const Quarantine& entry);
// Throw DecodingError.
Lease decodeLease(std::string_view text);
Quarantine decodeQuarantine(std::string_view text);

}  // namespace anvil::LeaseFileFormat
