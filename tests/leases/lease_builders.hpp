#pragma once
// Short ways to write addresses and leases in tests.
#include <optional>
#include <string>

#include "core/leases/lease.hpp"

namespace anvil::testing {

inline IPv4Address ip(const char* text) { return *IPv4Address::parse(text); }
inline MACAddress mac(const char* text) { return *MACAddress::parse(text); }

inline Lease lease(const char* macText, const char* ipText, Lease::State state, double expiresAt, double lastSeen = 0) {
    return Lease{mac(macText), ip(ipText),   state,   Date{expiresAt}, std::nullopt,
                 std::nullopt, std::nullopt, Date{0}, Date{lastSeen}};
}

}  // namespace anvil::testing
