// Feeds arbitrary bytes through everything a datagram meets on its way to a reply: parsing, the
// summary for the log, the responder's decision (with its probes answered from the input) against
// a lease table built from the input's first bytes, and the reply's encoding. Aborts when a
// decision breaks what must always hold.
//
// Input: one byte whose low three bits give the lease count N, N records of four bytes
// (hardware address byte, address offset, state and presence bits, probe answers), then the datagram.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <span>
#include <string>

#include "core/events/event_log.hpp"
#include "core/events/packet_summary.hpp"
#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp/packet_error.hpp"
#include "core/dhcp_service/boot_reply.hpp"
#include "core/dhcp_service/responder.hpp"

namespace {

using namespace anvil;

constexpr double now = 1'700'000'000;
constexpr std::uint32_t rangeSize = 11;

ServerConfig fuzzConfig() {
    ServerConfig config;
    config.serverIP = IPv4Address(192, 168, 2, 1);
    config.prefixLength = 24;
    config.rangeStart = IPv4Address(192, 168, 2, 10);
    config.rangeEnd = IPv4Address(192, 168, 2, 10 + rangeSize - 1);
    config.leaseSeconds = 3600;
    config.dns = {IPv4Address(192, 168, 2, 1), IPv4Address(9, 9, 9, 9), IPv4Address(1, 1, 1, 1)};
    // Boot on, with a name that fills option 67, so every reply can meet the size limit at its hardest.
    config.boot = BootConfig{"/srv/boot", std::string(200, 'f'), {{BootKind::bios, "undionly.kpxe"}}};
    return config;
}

[[noreturn]] void broken(const std::string& what) {
    std::fprintf(stderr, "datagram path: %s\n", what.c_str());
    std::abort();
}

struct Table {
    LeaseTable leases;
    std::map<IPv4Address, PresenceState> presence;
    std::uint8_t probeAnswers = 0;  // bit i answers the i-th probe of the message
};

// A table as the server could hold it: in the range, one holder per address.
Table tableFrom(std::span<const std::uint8_t>& input, const ServerConfig& config) {
    Table table;
    if (input.empty()) return table;
    std::size_t count = input[0] & 7u;
    input = input.subspan(1);
    for (std::size_t i = 0; i < count && input.size() >= 4; ++i, input = input.subspan(4)) {
        MACAddress mac{{0x02, 0, 0, 0, 0, input[0]}};
        IPv4Address ip{config.rangeStart.value + input[1] % rangeSize};
        auto state = static_cast<Lease::State>(input[2] & 3u);
        double expiresAt = (input[2] & 4u) ? now - 10 : now + 600;
        Lease lease{mac, ip, state, Date{expiresAt}, std::nullopt, std::nullopt, std::nullopt, Date{0}, Date{0}};
        auto holder = table.leases.holder(ip, Date{now});
        if (lease.holdsAddress(Date{now}) && holder && holder->mac != mac) continue;
        table.leases.upsert(lease);
        table.presence[ip] = static_cast<PresenceState>((input[2] >> 3) & 3u);
        table.probeAnswers = input[3];
    }
    return table;
}

void checkTable(const LeaseTable& table, const ServerConfig& config) {
    std::map<IPv4Address, MACAddress> holders;
    for (const auto& lease : table.leases()) {
        if (!config.inRange(lease.ip) && lease.holdsAddress(Date{now}))
            broken(lease.ip.description() + " outside the range is held");
        if (!lease.holdsAddress(Date{now})) continue;
        if (!holders.emplace(lease.ip, lease.mac).second) broken(lease.ip.description() + " is held by two devices");
    }
}

void checkReply(const Reply& reply, const LeaseTable& table, const ServerConfig& config, const DHCPPacket& request) {
    auto bytes = reply.packet.serialize(DHCPPacket::minimumReplyLength);
    if (bytes.size() < DHCPPacket::minimumReplyLength) broken("a reply shorter than 300 bytes");
    if (reply.type != DHCPMessageType::nak && bytes.size() > clientMessageLimit(request))
        broken("a reply larger than the client accepts");
    try {
        (void)DHCPPacket::parse(bytes);
    } catch (const PacketError& error) {
        broken(std::string("a reply that does not parse: ") + error.what());
    }
    bool handsOut = reply.type == DHCPMessageType::offer ||
                    (reply.type == DHCPMessageType::ack && reply.packet.yiaddr.value != 0);
    if (!handsOut) return;
    if (!config.inRange(reply.packet.yiaddr)) broken(reply.packet.yiaddr.description() + " offered outside the range");
    if (reply.type != DHCPMessageType::ack) return;
    auto holder = table.holder(reply.packet.yiaddr, Date{now});
    if (!holder || holder->mac != reply.mac)
        broken(reply.packet.yiaddr.description() + " acknowledged to a device that does not hold it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ServerConfig config = fuzzConfig();
    static const Responder responder{config};
    std::span<const std::uint8_t> input(data, size);
    auto table = tableFrom(input, config);

    DHCPPacket packet;
    try {
        packet = DHCPPacket::parse(input);
    } catch (const PacketError&) {
        return 0;
    }
    auto summary = PacketSummary::from(packet, std::string("en7"));
    (void)EventLog::line(ServerEvent::received(summary), Date{now}, TimeZone::utc());

    DecisionContext context{table.leases, {table.presence.begin(), table.presence.end()}, {}, Date{now}};
    // As the server does: each probe the decision asks for is answered and the message decided again.
    for (int pass = 0;; ++pass) {
        auto decision = responder.decide(packet, context);
        checkTable(decision.table, config);
        for (const auto& note : decision.notes) (void)EventLog::line(note, Date{now}, TimeZone::utc());
        auto probe = decision.action.probeAddress();
        if (!probe) {
            if (auto reply = decision.action.replyValue()) checkReply(*reply, decision.table, config, packet);
            return 0;
        }
        if (pass > Timing::maxProbesPerPacket) broken("more probes than one message may have");
        if (context.probes.contains(*probe)) broken(probe->description() + " probed twice for one message");
        context.probes[*probe] = (table.probeAnswers >> (pass % 8)) & 1u;
    }
}
