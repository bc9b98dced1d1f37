#pragma once
// The makers of hardware, by the address prefixes IEEE assigned them (MA-L, MA-M, MA-S), as one
// compact sorted table.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/mac_address.hpp"

namespace anvil {

// Who made the hardware behind an address, when known.
using MakerLookup = std::function<std::optional<std::string>(const MACAddress&)>;

class MakerRegistry {
public:
    MakerRegistry() = default;
    // Registry files in IEEE's CSV form ("Registry,Assignment,Organization Name,Organization Address",
    // fields quoted when they hold commas, quotes or line breaks); rows that are not an assignment are skipped.
    static MakerRegistry fromCSV(const std::vector<std::string_view>& files);

    // The organisation of the longest assigned prefix that covers the address.
    std::optional<std::string> lookup(const MACAddress& mac) const;
    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        std::uint64_t key;  // prefix length in bits above bit 48, the prefix below
        std::uint32_t nameOffset;
        std::uint32_t nameLength;
    };
    std::vector<Entry> entries_;
    std::string names_;
};

// "locally administered" for an address whose owner chose it (bit 0x02 of the first byte), else the
// registry's maker.
std::optional<std::string> makerOf(const MACAddress& mac, const MakerRegistry& registry);

}  // namespace anvil
