#include "core/addressing/option_format.hpp"

#include <array>

namespace anvil {

namespace {

using Format = OptionFormat;

struct Known {
    std::uint8_t code;
    OptionDescription description;
};

// RFC 2132 and the later registrations a bench device is likely to send or ask for.
constexpr Known known[] = {
    {1, {"Subnet Mask", Format::address}},
    {2, {"Time Offset", Format::signedSeconds}},
    {3, {"Router", Format::addresses}},
    {4, {"Time Server", Format::addresses}},
    {5, {"Name Server", Format::addresses}},
    {6, {"Domain Name Server", Format::addresses}},
    {7, {"Log Server", Format::addresses}},
    {8, {"Cookie Server", Format::addresses}},
    {9, {"LPR Server", Format::addresses}},
    {10, {"Impress Server", Format::addresses}},
    {11, {"Resource Location Server", Format::addresses}},
    {12, {"Host Name", Format::domainName}},
    {13, {"Boot File Size", Format::number16}},
    {14, {"Merit Dump File", Format::text}},
    {15, {"Domain Name", Format::domainName}},
    {16, {"Swap Server", Format::address}},
    {17, {"Root Path", Format::text}},
    {18, {"Extensions Path", Format::text}},
    {19, {"IP Forwarding", Format::flag}},
    {20, {"Non-Local Source Routing", Format::flag}},
    {21, {"Policy Filter", Format::addresses}},
    {22, {"Maximum Datagram Reassembly Size", Format::number16}},
    {23, {"Default IP TTL", Format::byte}},
    {24, {"Path MTU Aging Timeout", Format::seconds}},
    {25, {"Path MTU Plateau Table", Format::numbers16}},
    {26, {"Interface MTU", Format::number16}},
    {27, {"All Subnets Are Local", Format::flag}},
    {28, {"Broadcast Address", Format::address}},
    {29, {"Perform Mask Discovery", Format::flag}},
    {30, {"Mask Supplier", Format::flag}},
    {31, {"Perform Router Discovery", Format::flag}},
    {32, {"Router Solicitation Address", Format::address}},
    {33, {"Static Route", Format::addresses}},
    {34, {"Trailer Encapsulation", Format::flag}},
    {35, {"ARP Cache Timeout", Format::seconds}},
    {36, {"Ethernet Encapsulation", Format::flag}},
    {37, {"TCP Default TTL", Format::byte}},
    {38, {"TCP Keepalive Interval", Format::seconds}},
    {39, {"TCP Keepalive Garbage", Format::flag}},
    {40, {"NIS Domain", Format::domainName}},
    {41, {"NIS Servers", Format::addresses}},
    {42, {"NTP Servers", Format::addresses}},
    {43, {"Vendor Specific Information", Format::hex}},
    {44, {"NetBIOS Name Server", Format::addresses}},
    {45, {"NetBIOS Datagram Distribution Server", Format::addresses}},
    {46, {"NetBIOS Node Type", Format::byte}},
    {47, {"NetBIOS Scope", Format::text}},
    {48, {"X Window Font Server", Format::addresses}},
    {49, {"X Window Display Manager", Format::addresses}},
    {50, {"Requested IP Address", Format::address}},
    {51, {"IP Address Lease Time", Format::seconds}},
    {52, {"Option Overload", Format::byte}},
    {53, {"DHCP Message Type", Format::messageType}},
    {54, {"Server Identifier", Format::address}},
    {55, {"Parameter Request List", Format::parameterList}},
    {56, {"Message", Format::text}},
    {57, {"Maximum DHCP Message Size", Format::number16}},
    {58, {"Renewal Time", Format::seconds}},
    {59, {"Rebinding Time", Format::seconds}},
    {60, {"Vendor Class Identifier", Format::text}},
    {61, {"Client Identifier", Format::clientID}},
    {62, {"NetWare/IP Domain Name", Format::domainName}},
    {64, {"NIS+ Domain", Format::domainName}},
    {65, {"NIS+ Servers", Format::addresses}},
    {66, {"TFTP Server Name", Format::text}},
    {67, {"Bootfile Name", Format::text}},
    {68, {"Mobile IP Home Agent", Format::addresses}},
    {69, {"SMTP Server", Format::addresses}},
    {70, {"POP3 Server", Format::addresses}},
    {71, {"NNTP Server", Format::addresses}},
    {72, {"WWW Server", Format::addresses}},
    {73, {"Finger Server", Format::addresses}},
    {74, {"IRC Server", Format::addresses}},
    {75, {"StreetTalk Server", Format::addresses}},
    {76, {"StreetTalk Directory Assistance Server", Format::addresses}},
    {77, {"User Class", Format::text}},
    {80, {"Rapid Commit", Format::present}},
    {81, {"Client FQDN", Format::clientFQDN}},
    {82, {"Relay Agent Information", Format::hex}},
    {85, {"NDS Servers", Format::addresses}},
    {86, {"NDS Tree Name", Format::text}},
    {87, {"NDS Context", Format::text}},
    {90, {"Authentication", Format::hex}},
    {91, {"Client Last Transaction Time", Format::seconds}},
    {92, {"Associated IP", Format::addresses}},
    {93, {"Client System Architecture", Format::architecture}},
    {94, {"Client Network Interface Identifier", Format::hex}},
    {97, {"Client Machine Identifier", Format::hex}},
    {100, {"POSIX Time Zone", Format::text}},
    {101, {"Time Zone Database Name", Format::text}},
    {108, {"IPv6-Only Preferred", Format::seconds}},
    {114, {"Captive Portal", Format::text}},
    {116, {"Auto-Configure", Format::flag}},
    {118, {"Subnet Selection", Format::address}},
    {119, {"Domain Search", Format::domainList}},
    {121, {"Classless Static Route", Format::hex}},
    {124, {"Vendor-Identifying Vendor Class", Format::hex}},
    {125, {"Vendor-Identifying Vendor-Specific Information", Format::hex}},
    {150, {"TFTP Server Address", Format::addresses}},
    // Polycom phones read their provisioning server from here (its old captive portal use moved to 114).
    {160, {"Provisioning Server", Format::text}},
    {175, {"Etherboot", Format::hex}},
    {209, {"PXELINUX Configuration File", Format::text}},
    {210, {"PXELINUX Path Prefix", Format::text}},
    {211, {"PXELINUX Reboot Time", Format::seconds}},
    {249, {"Classless Static Route (Microsoft)", Format::hex}},
    {252, {"Web Proxy Auto-Discovery", Format::text}},
};

constexpr std::array<OptionDescription, 256> table = [] {
    std::array<OptionDescription, 256> entries{};
    for (const auto& item : known) entries[item.code] = item.description;
    return entries;
}();

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

}  // namespace

OptionDescription optionDescription(std::uint8_t code) { return table[code]; }

std::optional<std::uint8_t> optionCodeNamed(std::string_view name) {
    for (const auto& item : known)
        if (sameIgnoringCase(item.description.name, name)) return item.code;
    return std::nullopt;
}

std::string optionLabel(std::uint8_t code) {
    auto name = table[code].name;
    auto text = "Option " + std::to_string(code);
    return name.empty() ? text : text + " (" + std::string(name) + ")";
}

}  // namespace anvil
