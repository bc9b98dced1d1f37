#if defined(__linux__)
#include "core/host/linux/default_routes.hpp"

#include <charconv>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/addressing/text_pieces.hpp"
#include "core/host/linux/text_file.hpp"

namespace anvil::LinuxHost {

namespace {

constexpr std::uint32_t routeUp = 0x1, routeReject = 0x200;  // RTF_UP, RTF_REJECT
constexpr std::size_t routeTableLimit = 4 * 1024 * 1024;

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> found;
    std::size_t at = 0;
    while (at < line.size()) {
        auto start = line.find_first_not_of(" \t", at);
        if (start == std::string_view::npos) break;
        auto end = line.find_first_of(" \t", start);
        if (end == std::string_view::npos) end = line.size();
        found.push_back(line.substr(start, end - start));
        at = end;
    }
    return found;
}

bool hexValue(std::string_view text, std::uint32_t& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return error == std::errc{} && end == text.data() + text.size();
}

bool isZeros(std::string_view text) { return !text.empty() && text.find_first_not_of('0') == std::string_view::npos; }

bool carriesIPv4(std::string_view card, std::string_view table) {
    bool header = true;
    for (auto line : splitText(table, '\n', EmptyPieces::drop)) {
        if (std::exchange(header, false)) continue;
        // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
        auto parts = words(line);
        std::uint32_t flags = 0;
        if (parts.size() < 8 || parts[0] != card || !hexValue(parts[3], flags)) continue;
        if (isZeros(parts[1]) && isZeros(parts[7]) && (flags & routeUp) && !(flags & routeReject)) return true;
    }
    return false;
}

bool carriesIPv6(std::string_view card, std::string_view table) {
    for (auto line : splitText(table, '\n', EmptyPieces::drop)) {
        // destination prefix source prefix next-hop metric refcount use flags device
        auto parts = words(line);
        std::uint32_t flags = 0;
        if (parts.size() < 10 || parts[9] != card || !hexValue(parts[8], flags)) continue;
        if (isZeros(parts[0]) && isZeros(parts[1]) && (flags & routeUp) && !(flags & routeReject)) return true;
    }
    return false;
}

}  // namespace

bool carriesDefaultRoute(std::string_view card, std::string_view procNetRoute, std::string_view procNetIPv6Route) {
    return carriesIPv4(card, procNetRoute) || carriesIPv6(card, procNetIPv6Route);
}

bool carriesDefaultRoute(std::string_view card) {
    return carriesDefaultRoute(card, readTextFile("/proc/net/route", routeTableLimit).value_or(""),
                               readTextFile("/proc/net/ipv6_route", routeTableLimit).value_or(""));
}

}  // namespace anvil::LinuxHost
#endif
