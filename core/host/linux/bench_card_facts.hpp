#pragma once
// The bench-card facts of one card of this network namespace, read from the kernel.
// Header-only: dhcpanvil-helper links nothing of ours.
#include <fcntl.h>
#include <linux/rtnetlink.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/host/bench_card_facts.hpp"
#include "core/host/linux/netlink_dump.hpp"
#include "core/host/linux/route_dump_linux.hpp"

namespace anvil::LinkDump {

// Every link of this network namespace; nothing when the dump fails.
inline std::optional<std::vector<Link>> readAll() {
    // The family header, then IFLA_EXT_MASK asking to leave the statistics out.
    struct {
        ifinfomsg header;
        rtattr mask;
        std::uint32_t value;
    } request{};
    request.header.ifi_family = AF_UNSPEC;
    request.mask.rta_len = RTA_LENGTH(sizeof(std::uint32_t));
    request.mask.rta_type = IFLA_EXT_MASK;
    request.value = RTEXT_FILTER_SKIP_STATS;
    auto dump = netlink::boundedDump(RTM_GETLINK, {reinterpret_cast<const std::uint8_t*>(&request), sizeof request});
    if (!dump) return std::nullopt;
    return parse(*dump);
}

}  // namespace anvil::LinkDump

namespace anvil::BenchCardFacts {

namespace detail {

inline bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// /sys/class/net/<name>/ifindex: a short decimal number, or nothing.
inline std::optional<long> sysIndex(const std::string& base) {
    int fd = ::open((base + "/ifindex").c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    char text[32];
    ssize_t length = ::read(fd, text, sizeof text);
    ::close(fd);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) return std::nullopt;
    long value = 0;
    ssize_t digits = 0;
    for (; digits < length && text[digits] >= '0' && text[digits] <= '9'; ++digits) value = value * 10 + (text[digits] - '0');
    if (digits == 0) return std::nullopt;
    return value;
}

// Only /sys tells a wireless card from a wired one; it shows the cards of the namespace it was
// mounted in, which need not be ours, so it must show this card under this index.
inline std::optional<bool> wireless(const std::string& name, std::uint32_t index) {
    std::string base = "/sys/class/net/" + name;
    if (sysIndex(base) != static_cast<long>(index)) return std::nullopt;
    return isDirectory(base + "/wireless") || isDirectory(base + "/phy80211");
}

}  // namespace detail

// All but `wireless`, from the links and the routes of every table of this namespace; nothing
// when they cannot be read or show no such card.
inline std::optional<BenchCardRule::Card> readLinkFacts(std::string_view name, unsigned index) {
    auto links = LinkDump::readAll();
    auto routes = RouteDump::readAll();
    if (!links || !routes) return std::nullopt;
    return of(name, index, *links, *routes);
}

// What the bench-card rule needs to know of the card with this name and index, read afresh;
// nothing when anything cannot be read: a card is never served on a guess.
inline std::optional<BenchCardRule::Card> readBenchCardFacts(std::string_view name, unsigned index) {
    auto card = readLinkFacts(name, index);
    if (!card) return std::nullopt;
    auto wireless = detail::wireless(std::string(name), index);
    if (!wireless) return std::nullopt;
    card->wireless = *wireless;
    return card;
}

}  // namespace anvil::BenchCardFacts
