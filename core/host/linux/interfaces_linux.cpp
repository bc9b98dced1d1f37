#if defined(__linux__)
#include <dirent.h>
#include <ifaddrs.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <charconv>

#include "core/host/bench_card_facts.hpp"
#include "core/host/default_routes.hpp"
#include "core/host/interfaces.hpp"
#include "core/host/linux/bench_card_facts.hpp"
#include "core/host/linux/host_values.hpp"
#include "core/host/linux/kernel_services.hpp"
#include "core/host/linux/netlink_socket.hpp"
#include "core/host/linux/network_manager.hpp"
#include "core/host/linux/text_file.hpp"

namespace anvil {

namespace {

// Ceilings on what is read: a sysfs attribute is at most a page; the others are small texts.
constexpr std::size_t attributeLimit = 4096, udevLimit = 64 * 1024, routeTableLimit = 4 * 1024 * 1024;

// The first line of a sysfs attribute; nothing when it cannot be read (a down link's speed, for one).
std::optional<std::string> readAttribute(const std::string& path) {
    auto text = LinuxHost::readTextFile(path, attributeLimit);
    if (!text) return std::nullopt;
    auto end = text->find('\n');
    return text->substr(0, end);
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A name that can be a kernel interface; anything else must not reach a path or an ioctl.
bool isInterfaceName(std::string_view name) {
    return !name.empty() && name.size() < IFNAMSIZ && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string sysfs(std::string_view name) { return "/sys/class/net/" + std::string(name); }

// The calling thread's network namespace: /proc/net follows the process's first thread, and a
// thread may have entered another namespace.
std::string procNet(std::string_view table) { return "/proc/thread-self/net/" + std::string(table); }

std::vector<std::string> routedNames(const std::vector<LinkDump::Link>& links,
                                     const std::vector<RouteDump::Route>& routes) {
    auto routed = BenchCardFacts::defaultRouteLinks(routes);
    std::vector<std::string> names;
    for (const auto& link : links)
        if (routed.count(link.index)) names.push_back(link.name);
    return names;
}

}  // namespace

Interfaces::ServiceMap LinuxHost::kernelServices(const std::vector<std::pair<int, std::string>>& interfaces,
                                                 std::optional<IPv4Address> preferred) {
    Interfaces::ServiceMap map;
    std::vector<LinuxHost::KernelAddress> addresses;
    ifaddrmsg request{};
    request.ifa_family = AF_INET;
    if (auto dump = netlink::dump(RTM_GETADDR, {reinterpret_cast<const std::uint8_t*>(&request), sizeof request}))
        addresses = LinuxHost::parseAddresses(*dump);
    for (const auto& [index, name] : interfaces) {
        std::vector<LinuxHost::KernelAddress> own;
        for (const auto& entry : addresses)
            if (entry.interfaceIndex == index) own.push_back(entry);
        map.emplace(name, Interfaces::ServiceConfiguration{name, LinuxHost::configMethod(own, preferred), {}});
    }
    return map;
}

std::vector<InterfaceAddress> Interfaces::interfaceAddresses() {
    std::vector<InterfaceAddress> found;
    ifaddrs* chain = nullptr;
    if (getifaddrs(&chain) != 0) return found;
    for (auto* entry = chain; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name) continue;
        IPv4Address address{ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr)};
        IPv4Address mask;
        if (entry->ifa_netmask)
            mask = IPv4Address{ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr)};
        auto prefix = Subnet::prefixLengthOfMask(mask);
        if (!prefix) continue;
        found.push_back({entry->ifa_name, Subnet{address, *prefix}, (entry->ifa_flags & IFF_POINTOPOINT) != 0});
    }
    freeifaddrs(chain);
    return found;
}

Interfaces::MediaStatus Interfaces::mediaStatus(std::string_view bsdName) {
    if (!isInterfaceName(bsdName)) return {};
    auto base = sysfs(bsdName);
    if (readAttribute(base + "/carrier") != "1") return {};
    std::optional<long> speed;
    if (auto text = readAttribute(base + "/speed")) {
        long value = 0;
        auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
        if (error == std::errc{} && end == text->data() + text->size()) speed = value;
    }
    return {true, mediaDescription(speed, readAttribute(base + "/duplex").value_or(""))};
}

std::optional<std::string> Interfaces::primaryInterface() {
    auto text = LinuxHost::readTextFile(procNet("route"), routeTableLimit);
    if (!text) return std::nullopt;
    return LinuxHost::primaryInterface(*text);
}

std::vector<std::string> Interfaces::defaultRouteCards() {
    // Every routing table, as the helper reads them; the main tables in /proc/net only when
    // rtnetlink cannot be asked.
    auto links = LinkDump::readAll();
    auto routes = RouteDump::readAll();
    if (links && routes) return routedNames(*links, *routes);
    auto ipv4 = LinuxHost::readTextFile(procNet("route"), routeTableLimit);
    auto ipv6 = LinuxHost::readTextFile(procNet("ipv6_route"), routeTableLimit);
    return DefaultRoutes::cards(ipv4.value_or(""), ipv6.value_or(""));
}

std::vector<NetworkCard> Interfaces::list() {
    std::vector<std::pair<int, std::string>> names;
    if (auto* table = if_nameindex()) {
        for (auto* entry = table; entry->if_index != 0 && entry->if_name; ++entry)
            names.emplace_back(static_cast<int>(entry->if_index), entry->if_name);
        if_freenameindex(table);
    }

    auto addresses = interfaceAddresses();
    // Cards NetworkManager leaves alone keep the rule for hosts without it.
    auto services = LinuxHost::kernelServices(names);
    if (NetworkManager::isRunning()) {
        for (const auto& [device, service] : NetworkManager::services()) {
            services.erase(device);
            if (service) services.emplace(device, *service);
        }
    }
    auto primary = primaryInterface();

    std::vector<ListedInterface> listed;
    for (const auto& [index, name] : names) {
        auto base = sysfs(name);
        if (!isInterfaceName(name) || !isDirectory(base)) continue;
        int type = -1;
        if (auto text = readAttribute(base + "/type")) std::from_chars(text->data(), text->data() + text->size(), type);
        bool wireless = isDirectory(base + "/wireless") || isDirectory(base + "/phy80211");
        ListedInterface entry;
        entry.bsdName = name;
        entry.kind = kindOf(type, wireless, isDirectory(base + "/bridge"));
        entry.hardwareAddress = readAttribute(base + "/address");
        if (auto udev = LinuxHost::readTextFile("/run/udev/data/n" + std::to_string(index), udevLimit))
            entry.displayName = LinuxHost::displayName(*udev);
        // Without udev (a container, a minimal system) a USB card still names itself; only USB
        // devices have an idVendor beside their product.
        if (!entry.displayName && readAttribute(base + "/device/../idVendor"))
            if (auto product = readAttribute(base + "/device/../product"))
                entry.displayName = LinuxHost::usbProductName(*product);
        listed.push_back(std::move(entry));
    }
    // Judged by the helper's facts: the routes of every table, and the card's place among the links.
    auto links = LinkDump::readAll();
    auto routes = RouteDump::readAll();
    auto cards = assemble(
        listed, addresses, services, primary, [](const std::string& name) { return mediaStatus(name); },
        links && routes ? routedNames(*links, *routes) : defaultRouteCards());
    if (!links || !routes) return cards;
    for (auto& card : cards) {
        auto index = std::find_if(names.begin(), names.end(), [&](const auto& entry) { return entry.second == card.bsdName; });
        if (index == names.end()) continue;
        if (auto facts = BenchCardFacts::of(card.bsdName, static_cast<std::uint32_t>(index->first), *links, *routes)) {
            card.carriesDefaultRoute = facts->carriesDefaultRoute;
            card.stacking = facts->stacking;
        }
    }
    return cards;
}

// Read from /sys/class/net alone: the server's watch asks every second while a card is away, and
// must not start child processes (nmcli) on its queue.
std::optional<std::string> Interfaces::bsdName(const MACAddress& forMAC) {
    std::optional<std::string> found;
    DIR* folder = opendir("/sys/class/net");
    if (!folder) return found;
    while (auto* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (!isInterfaceName(name)) continue;
        auto text = readAttribute(sysfs(name) + "/address");
        if (!text) continue;
        auto mac = MACAddress::parse(*text);
        if (mac && *mac == forMAC) {
            found = name;
            break;
        }
    }
    closedir(folder);
    return found;
}

}  // namespace anvil
#endif
