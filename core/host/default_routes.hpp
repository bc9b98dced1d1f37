#pragma once
// The cards that carry a default route, read from the kernel's route tables (/proc/net/route and
// /proc/net/ipv6_route). Header-only and standard library alone: dhcpanvil-helper reads them too.
#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace anvil::DefaultRoutes {

namespace detail {

inline std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> found;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) found.push_back(line.substr(start, i - start));
    }
    return found;
}

// A hexadecimal field of at most 16 digits; false for anything else.
inline bool hexValue(std::string_view text, unsigned long long& value) {
    if (text.empty() || text.size() > 16) return false;
    value = 0;
    for (char c : text) {
        int digit = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit < 0) return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return true;
}

inline bool allZero(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c == '0'; });
}

// A route that carries traffic: up (RTF_UP) and not a reject route (RTF_REJECT).
inline bool usable(std::string_view flagsField) {
    constexpr unsigned long long up = 0x1, reject = 0x200;
    unsigned long long flags = 0;
    return hexValue(flagsField, flags) && (flags & up) && !(flags & reject);
}

inline void add(std::vector<std::string>& names, std::string_view name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
}

template <typename Visit>
void eachLine(std::string_view text, Visit visit) {
    while (!text.empty()) {
        auto end = text.find('\n');
        visit(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

}  // namespace detail

// Names of the cards with a usable default route in either table, each once, IPv4 first.
inline std::vector<std::string> cards(std::string_view procNetRoute, std::string_view procNetIPv6Route) {
    std::vector<std::string> names;
    // Iface Destination Gateway Flags RefCnt Use Metric Mask …, after one header line.
    bool header = true;
    detail::eachLine(procNetRoute, [&](std::string_view line) {
        if (header) {
            header = false;
            return;
        }
        auto parts = detail::fields(line);
        if (parts.size() < 8) return;
        if (detail::allZero(parts[1]) && detail::allZero(parts[7]) && detail::usable(parts[3]))
            detail::add(names, parts[0]);
    });
    // Destination, its prefix length, source, its prefix length, next hop, metric, references,
    // use, flags, device; no header.
    detail::eachLine(procNetIPv6Route, [&](std::string_view line) {
        auto parts = detail::fields(line);
        if (parts.size() < 10) return;
        if (detail::allZero(parts[0]) && detail::allZero(parts[1]) && detail::usable(parts[8]))
            detail::add(names, parts[9]);
    });
    return names;
}

inline bool carries(std::string_view card, std::string_view procNetRoute, std::string_view procNetIPv6Route) {
    auto names = cards(procNetRoute, procNetIPv6Route);
    return std::find(names.begin(), names.end(), card) != names.end();
}

}  // namespace anvil::DefaultRoutes
