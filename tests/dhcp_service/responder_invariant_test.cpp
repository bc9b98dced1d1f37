// A seeded random run of many clients against one table, checking what must hold after every decision.
// Set ANVIL_RESPONDER_SEED to replay a reported run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <sstream>

#include "tests/dhcp_service/responder_fixtures.hpp"

namespace anvil {
namespace {

using namespace anvil::testing;
using Type = DHCPMessageType;

constexpr std::uint64_t defaultSeed = 20240611;
constexpr int messageCount = 4000;
constexpr int clientCount = 20;

std::uint64_t seedFromEnvironment() {
    if (const char* text = std::getenv("ANVIL_RESPONDER_SEED")) return std::strtoull(text, nullptr, 10);
    return defaultSeed;
}

class RandomRun {
public:
    explicit RandomRun(std::uint64_t seed) : random_(seed) {
        // Ten addresses for twenty clients, with the server's own address inside the range.
        responder_.config.serverIP = addr("192.168.0.105");
        responder_.config.rangeStart = addr("192.168.0.100");
        responder_.config.rangeEnd = addr("192.168.0.109");
        responder_.config.leaseSeconds = 3600;
        for (int i = 0; i < clientCount; ++i) {
            MACAddress mac;
            mac.bytes = {0x02, 0, 0, 0, 0, static_cast<std::uint8_t>(i + 1)};
            clients_.push_back(mac);
        }
    }

    // Empty when every decision kept the invariants; otherwise what broke.
    std::string run() {
        for (int step = 0; step < messageCount; ++step) {
            now_ += pick(0, 9) == 0 ? pick(0, 900) : pick(0, 20);
            if (pick(0, 9) == 0) shufflePresence();
            auto packet = nextMessage();
            if (auto broken = decideAndCheck(packet); !broken.empty())
                return "step " + std::to_string(step) + ": " + broken;
        }
        return {};
    }

    const std::vector<std::string>& sequence() const { return sequence_; }
    std::string tally() const {
        std::ostringstream text;
        for (const auto& [outcome, count] : tally_) text << " " << outcome << "=" << count;
        return text.str();
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    bool coin() { return pick(0, 1) == 1; }

    IPv4Address someAddress() {
        switch (pick(0, 5)) {
            case 0: return addr("10.0.0.7");
            case 1: return addr("192.168.0.50");
            default: return IPv4Address{addr("192.168.0.99").value + static_cast<std::uint32_t>(pick(0, 19))};
        }
    }

    void shufflePresence() {
        presence_.clear();
        for (const auto& lease : table_.leases()) {
            if (coin()) presence_[lease.ip] = static_cast<PresenceState>(pick(0, 3));
        }
    }

    DHCPPacket nextMessage() {
        const auto& mac = clients_[static_cast<std::size_t>(pick(0, clientCount - 1))];
        auto own = table_.lease(mac);
        auto known = own ? own->ip : someAddress();
        auto address = coin() ? known : someAddress();
        auto serverIP = responder_.config.serverIP;
        auto xid = static_cast<std::uint32_t>(random_());
        std::ostringstream line;
        line << "t=" << now_ << " " << mac.description() << " ";

        DHCPPacket packet;
        switch (pick(0, 11)) {
            case 0:
            case 1: {
                Message message(Type::discover, mac, xid);
                if (coin()) message.requested(address);
                line << "DISCOVER requested "
                     << message.packet().requestedIP().value_or(IPv4Address::zero).description();
                packet = message;
                break;
            }
            case 2:
            case 3:
                packet = Message(Type::request, mac, xid).serverID(serverIP).requested(address);
                line << "REQUEST selecting " << address.description();
                break;
            case 4:
                packet = Message(Type::request, mac, xid).serverID(addr("192.168.0.254"));
                line << "REQUEST for another server";
                break;
            case 5:
                packet = Message(Type::request, mac, xid).requested(address);
                line << "REQUEST rebooting " << address.description();
                break;
            case 6:
                packet = Message(Type::request, mac, xid).ciaddr(address);
                line << "REQUEST renewing " << address.description();
                break;
            case 7: {
                Message message(Type::decline, mac, xid);
                if (pick(0, 4) > 0) message.requested(address);
                line << "DECLINE " << message.packet().requestedIP().value_or(IPv4Address::zero).description();
                packet = message;
                break;
            }
            case 8: {
                Message message(Type::release, mac, xid);
                message.ciaddr(address);
                if (pick(0, 4) > 0) message.serverID(serverIP);
                line << "RELEASE " << address.description();
                packet = message;
                break;
            }
            case 9:
                packet = Message(Type::inform, mac, xid).ciaddr(address);
                line << "INFORM " << address.description();
                break;
            case 10: {
                Message message(Type::request, mac, xid);
                switch (pick(0, 3)) {
                    case 0: message.header(2, 1, 6); break;
                    case 1: message.header(1, 6, 6); break;
                    case 2: message.giaddr(addr("10.9.9.9")); break;
                    default: message.withoutOption(OptionCode::messageType); break;
                }
                line << "bad message";
                packet = message;
                break;
            }
            default:
                packet = Message(coin() ? Type::offer : Type::ack, mac, xid);
                line << "server message from a client";
                break;
        }
        sequence_.push_back(line.str());
        return packet;
    }

    std::string decideAndCheck(const DHCPPacket& packet) {
        DecisionContext context{table_, presence_, {}, Date{now_}};
        Decision decision;
        int probes = 0;
        while (true) {
            decision = responder_.decide(packet, context);
            auto ip = decision.action.probeAddress();
            if (!ip) break;
            if (++probes > Timing::maxProbesPerPacket) return "more than five probes for one message";
            if (context.probes.contains(*ip)) return "probed " + ip->description() + " twice";
            auto shown = presence_.find(*ip);
            if (shown != presence_.end() &&
                (shown->second == PresenceState::online || shown->second == PresenceState::conflict))
                return "probed " + ip->description() + ", whose holder is shown present";
            bool answered = coin();
            sequence_.back() += " probe " + ip->description() + (answered ? " answered" : " silent");
            context.probes[*ip] = answered;
        }
        if (auto broken = check(packet, context, decision); !broken.empty()) return broken;
        count(decision, probes);
        table_ = decision.table;
        return {};
    }

    std::string check(const DHCPPacket& packet, const DecisionContext& context, const Decision& decision) const {
        const auto& config = responder_.config;
        Date now{now_};
        std::unordered_map<IPv4Address, MACAddress> holders;
        std::unordered_map<MACAddress, int> leasesPerClient;
        for (const auto& lease : decision.table.leases()) {
            if (++leasesPerClient[lease.mac] > 1) return "two leases for " + lease.mac.description();
            if (!lease.holdsAddress(now)) continue;
            auto ip = lease.ip.description();
            if (!holders.emplace(lease.ip, lease.mac).second) return "two leases hold " + ip;
            if (!config.inRange(lease.ip)) return "held address " + ip + " is outside the range";
            if (lease.ip == config.serverIP) return "the server's own address is held";
            // Newly held: the address must not have been under quarantine when it was handed out.
            auto before = context.table.lease(lease.mac);
            bool newlyHeld = !before || before->ip != lease.ip || !before->holdsAddress(now);
            if (newlyHeld && context.table.isQuarantined(lease.ip, now))
                return "quarantined address " + ip + " was assigned to " + lease.mac.description();
        }
        // Other clients' leases are left alone, except a bound one taken back after a silent probe.
        auto sender = packet.mac();
        for (const auto& before : context.table.leases()) {
            if (sender && before.mac == *sender) continue;
            auto after = decision.table.lease(before.mac);
            if (after == before) continue;
            auto probe = context.probes.find(before.ip);
            bool silentlyProbed = probe != context.probes.end() && !probe->second;
            auto reclaimed = before;
            reclaimed.state = Lease::State::reclaimed;
            if (after != reclaimed || before.state != Lease::State::bound || !silentlyProbed)
                return "lease of " + before.mac.description() + " changed by another client's message";
        }
        if (const auto* reply = decision.action.replyValue()) {
            if (!std::equal(reply->mac.bytes.begin(), reply->mac.bytes.end(), packet.chaddr.begin()))
                return "reply to another client";
            if (reply->type != Type::nak && reply->packet.yiaddr != IPv4Address::zero) {
                auto holder = holders.find(reply->packet.yiaddr);
                if (holder == holders.end() || holder->second != reply->mac)
                    return replyName(reply->type) + " of " + reply->packet.yiaddr.description() +
                           " not held by the client";
                if (bindsAddress(reply->type) && decision.table.lease(reply->mac)->state != Lease::State::bound)
                    return replyName(reply->type) + " without a bound lease";
            }
            if (reply->packet.serialize(DHCPPacket::minimumReplyLength).size() != DHCPPacket::minimumReplyLength)
                return "reply longer than 300 bytes";
        }
        return {};
    }

    void count(const Decision& decision, int probes) {
        if (const auto* reply = decision.action.replyValue()) ++tally_[replyName(reply->type)];
        if (probes > 0) ++tally_["probed"];
        for (const auto& event : decision.notes) {
            if (auto changed = event.as<ServerEvent::LeaseChanged>();
                changed && changed->lease.state == Lease::State::reclaimed)
                ++tally_["reclaimed"];
            if (auto dropped = event.as<ServerEvent::Dropped>())
                ++tally_[dropped->reason == "address pool exhausted" ? "exhausted" : "dropped"];
            if (event.is<ServerEvent::LeaseRemoved>()) ++tally_["declined"];
        }
    }

    std::mt19937_64 random_;
    std::map<std::string, int> tally_;
    Responder responder_{benchConfig()};
    std::vector<MACAddress> clients_;
    LeaseTable table_;
    std::unordered_map<IPv4Address, PresenceState> presence_;
    double now_ = 1'700'000'000;
    std::vector<std::string> sequence_;
};

TEST(ResponderInvariants, RandomClientsNeverBreakTheLeaseTable) {
    auto seed = seedFromEnvironment();
    std::cout << "responder invariant seed: " << seed << " (set ANVIL_RESPONDER_SEED to replay)\n";
    RandomRun run(seed);
    auto broken = run.run();
    if (!broken.empty()) {
        std::ostringstream report;
        report << "seed " << seed << ": " << broken << "\nmessages:\n";
        for (std::size_t i = 0; i < run.sequence().size(); ++i) report << i << ": " << run.sequence()[i] << "\n";
        FAIL() << report.str();
    }
    std::cout << "outcomes:" << run.tally() << "\n";
}

}  // namespace
}  // namespace anvil
