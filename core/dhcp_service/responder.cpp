#include "core/dhcp_service/responder.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/addressing/pin_text.hpp"
#include "core/addressing/timing.hpp"
#include "core/leases/address_choice.hpp"
#include "core/dhcp/option_code.hpp"
#include "core/dhcp_service/boot_reply.hpp"
#include "core/dhcp_service/bootp_reply.hpp"
#include "core/dhcp_service/pinned_address.hpp"
#include "core/dhcp_service/responder_texts.hpp"
#include "core/dhcp_service/user_options_for.hpp"

namespace anvil {

namespace {

namespace Text = ResponderText;
using Type = DHCPMessageType;

// The working record of one decision: each step changes it, and at the end it becomes the Decision.
struct Work {
    const ServerConfig& config;
    const DHCPPacket& packet;
    const DecisionContext& context;
    LeaseTable table;
    std::vector<ServerEvent> events;
    bool tableChanged = false;
    DecisionAction action = DecisionAction::none();
    // Known once the message has passed screening.
    MACAddress mac{};
    // This device's pin, when it has one.
    const Pin* pin = nullptr;

    Date now() const { return context.now; }
    void drop(std::string_view reason, std::optional<MACAddress> about) {
        events.push_back(ServerEvent::dropped(std::string(reason), about));
    }
    void info(std::string text) { events.push_back(ServerEvent::info(std::move(text))); }
};

// ---- Judgements ------------------------------------------------------------------------------

bool isUsable(const Work& work, IPv4Address ip) {
    const auto& config = work.config;
    return config.inRange(ip) && ip != config.serverIP && !work.table.isQuarantined(ip, work.now()) &&
           !pinnedToOther(config.pins, ip, work.pin);
}

bool isPinnedToOther(const Work& work, IPv4Address ip) { return pinnedToOther(work.config.pins, ip, work.pin); }

// Held by nobody at all, not even by this client.
bool isFree(const Work& work, IPv4Address ip) { return isUsable(work, ip) && !work.table.holder(ip, work.now()); }

std::optional<Lease> otherHolder(const Work& work, IPv4Address ip) {
    auto holder = work.table.holder(ip, work.now());
    if (holder && holder->mac != work.mac) return holder;
    return std::nullopt;
}

bool ownLeaseHolds(const Work& work, IPv4Address ip) {
    auto own = work.table.lease(work.mac);
    return own && own->ip == ip && own->holdsAddress(work.now());
}

// A lease in force is only taken away after a probe made for this very message went unanswered;
// an offer is never taken, and once the probe budget is spent nobody more counts as offline.
bool holderIsOffline(const Work& work, IPv4Address ip) {
    auto holder = work.table.holder(ip, work.now());
    if (holder && holder->state == Lease::State::offered) return false;
    const auto& context = work.context;
    if (auto probe = context.probes.find(ip); probe != context.probes.end()) return !probe->second;
    if (context.probing.contains(ip)) return false;
    if (context.probeBudgetExhausted()) return false;
    if (auto known = context.presence.of(ip))
        return *known == PresenceState::unknown || *known == PresenceState::offline;
    return true;
}

// ---- Replies ---------------------------------------------------------------------------------

DHCPPacket baseReply(const Work& work, Type type, IPv4Address yiaddr) {
    const auto& request = work.packet;
    DHCPPacket reply;
    reply.op = 2;
    reply.htype = request.htype;
    reply.hlen = request.hlen;
    reply.hops = 0;
    reply.xid = request.xid;
    reply.secs = 0;
    reply.flags = request.flags;
    reply.ciaddr = type == Type::ack ? request.ciaddr : IPv4Address::zero;
    reply.yiaddr = yiaddr;
    reply.siaddr = IPv4Address::zero;
    reply.giaddr = request.giaddr;
    reply.chaddr = request.chaddr;
    // Built in wire order; the client reads the options in the order they are appended.
    reply.options.push_back({OptionCode::messageType, {rawValue(type)}});
    reply.options.push_back({OptionCode::serverID, work.config.serverIP.bytes()});
    return reply;
}

void reply(Work& work, Type type, IPv4Address yiaddr, bool includeLease) {
    const auto& config = work.config;
    const auto& request = work.packet;
    auto packet = baseReply(work, type, yiaddr);
    auto add = [&packet](std::uint8_t code, Bytes data) { packet.options.push_back({code, std::move(data)}); };

    if (includeLease) {
        add(OptionCode::leaseTime, bigEndianBytes(config.leaseSeconds));
        add(OptionCode::renewalTime, bigEndianBytes(config.renewalSeconds()));
        add(OptionCode::rebindingTime, bigEndianBytes(config.rebindingSeconds()));
    }
    add(OptionCode::subnetMask, config.mask().bytes());
    add(OptionCode::broadcastAddress, config.broadcastAddress().bytes());
    if (config.router) add(OptionCode::router, config.router->bytes());
    if (!config.dns.empty()) {
        Bytes servers;
        for (auto server : config.dns) {
            auto bytes = server.bytes();
            servers.insert(servers.end(), bytes.begin(), bytes.end());
        }
        add(OptionCode::dns, std::move(servers));
    }

    bool apc = false;
    if (auto vendor = request.vendorClass(); vendor && vendor->starts_with("APC")) {
        add(OptionCode::vendorSpecific, Bytes(Responder::apcCookie.begin(), Responder::apcCookie.end()));
        apc = true;
    }
    auto bootNote = addBootOptions(packet, request, config);
    auto placed = placeUserOptions(packet, userOptionsFor(request, config));
    auto limit = clientMessageLimit(request);
    auto fitted = fitToClientLimit(packet, limit, userOptionCodes(placed));

    std::vector<std::string> notes;
    if (type == Type::ack && includeLease) notes.push_back(Text::leaseNote(config.leaseSeconds));
    if (includeLease && work.pin && work.pin->ip == yiaddr) notes.push_back(Text::pinnedNote(work.pin->label));
    bool ownVendorArea = std::none_of(placed.begin(), placed.end(), [](const ChosenUserOption& item) {
        return item.option.code == OptionCode::vendorSpecific;
    });
    if (apc && ownVendorArea) notes.emplace_back(Text::apcCookieNote);
    for (auto& piece : userOptionNotes(packet, placed)) notes.push_back(std::move(piece));
    std::optional<std::string> note;
    for (const auto& piece : notes) note = note ? *note + std::string(Text::noteSeparator) + piece : piece;
    auto appendNote = [&note](const std::string& piece) {
        note = note ? *note + std::string(Text::bootNoteSeparator) + piece : piece;
    };
    if (bootNote) appendNote(*bootNote);
    if (fitted.changed()) appendNote(Text::fittedNote(limit, fitted.dnsServersLeftOut, fitted.optionsLeftOut));

    auto destination =
        request.ciaddr != IPv4Address::zero ? ReplyDestination::unicast(request.ciaddr) : ReplyDestination::broadcast();
    auto about = includeLease ? yiaddr : request.ciaddr;
    work.action = DecisionAction::reply(Reply{std::move(packet), destination, type, about, work.mac, std::move(note)});
}

// A refusal changes no lease and reports nothing beyond the reply itself.
void nak(Work& work, std::string_view reason) {
    auto packet = baseReply(work, Type::nak, IPv4Address::zero);
    Bytes text(reason.begin(), reason.end());
    if (text.size() > DHCPPacket::maximumOptionLength) text.resize(DHCPPacket::maximumOptionLength);
    packet.options.push_back({OptionCode::message, std::move(text)});
    auto about = work.packet.requestedIP().value_or(work.packet.ciaddr);
    work.action = DecisionAction::reply(
        Reply{std::move(packet), ReplyDestination::broadcast(), Type::nak, about, work.mac, std::string(reason)});
}

// ---- Assigning -------------------------------------------------------------------------------

void assign(Work& work, IPv4Address ip, Lease::State state, Date until) {
    auto now = work.now();
    if (auto former = otherHolder(work, ip)) {
        former->state = Lease::State::reclaimed;
        work.table.upsert(*former);
        work.events.push_back(ServerEvent::leaseChanged(*former));
        work.info(work.pin && work.pin->ip == ip ? Text::pinTaken(ip, former->mac, deviceText(*work.pin), work.pin->label)
                                                 : Text::reclaimed(ip, former->mac));
        work.tableChanged = true;
    }
    auto own = work.table.lease(work.mac);
    if (!own) {
        if (auto evicted = work.table.makeRoomForNewClient(now))
            work.events.push_back(ServerEvent::leaseRemoved(evicted->mac));
    }
    auto lease = own.value_or(Lease{work.mac, ip, state, until, std::nullopt, std::nullopt, std::nullopt, now, now});
    lease.ip = ip;
    lease.state = state;
    lease.expiresAt = until;
    lease.lastSeen = now;
    // Options the message leaves out keep what an earlier message told us.
    if (auto hostname = work.packet.hostname()) lease.hostname = std::move(hostname);
    if (auto vendorClass = work.packet.vendorClass()) lease.vendorClass = std::move(vendorClass);
    if (auto clientID = work.packet.clientID()) lease.clientID = std::move(clientID);
    // Past screening only a plain BOOTREQUEST has no message type.
    lease.bootp = !work.packet.messageType();
    work.table.upsert(lease);
    work.events.push_back(ServerEvent::leaseChanged(std::move(lease)));
    if (state != Lease::State::offered) work.tableChanged = true;
}

void acknowledge(Work& work, IPv4Address ip) {
    assign(work, ip, Lease::State::bound, work.now().addingSeconds(work.config.leaseSeconds));
    reply(work, Type::ack, ip, true);
}

// ---- DHCPDISCOVER ----------------------------------------------------------------------------

// The pinned address, unless a probe found its former holder still there: then the device makes
// do with an ordinary address until that holder has moved (its next request is refused).
std::optional<IPv4Address> pinTarget(const Work& work) {
    if (!work.pin) return std::nullopt;
    auto ip = work.pin->ip;
    auto probe = work.context.probes.find(ip);
    if (probe != work.context.probes.end() && probe->second && otherHolder(work, ip)) return std::nullopt;
    return ip;
}

std::optional<IPv4Address> chooseFor(const Work& work, std::optional<IPv4Address> wanted) {
    if (auto pinned = pinTarget(work)) return pinned;
    return chooseAddress(
        work.mac, wanted, work.table, work.config.range(), [&work](IPv4Address ip) { return isUsable(work, ip); },
        [&work](IPv4Address ip) { return holderIsOffline(work, ip); }, work.now());
}

void handleDiscover(Work& work) {
    auto now = work.now();
    auto chosen = chooseFor(work, work.packet.requestedIP());
    if (!chosen) return work.drop(Text::poolExhausted, work.mac);

    // A reclaim needs a silent probe made for this message first.
    if (otherHolder(work, *chosen) && !work.context.probes.contains(*chosen)) {
        work.action = DecisionAction::probe(*chosen);
        return;
    }

    auto own = work.table.lease(work.mac);
    if (own && own->state == Lease::State::bound && own->ip == *chosen && own->holdsAddress(now)) {
        own->lastSeen = now;
        work.table.upsert(*own);
    } else {
        assign(work, *chosen, Lease::State::offered, now.addingSeconds(Timing::offerHold));
    }
    reply(work, Type::offer, *chosen, true);
}

// ---- DHCPREQUEST -----------------------------------------------------------------------------

void choseAnotherServer(Work& work, IPv4Address otherServer) {
    if (auto own = work.table.lease(work.mac); own && own->state == Lease::State::offered) {
        own->state = Lease::State::released;
        own->expiresAt = work.now();
        work.table.upsert(*own);
        work.events.push_back(ServerEvent::leaseChanged(*own));
    }
    work.info(Text::choseAnotherServer(work.mac, otherServer));
    work.events.push_back(ServerEvent::noticeRaised(Notice::otherServer(otherServer)));
}

// How a request for `ip` goes when pins decide it; nothing when they have no say.
struct PinnedRequest {
    bool grant = false;
    std::string_view nak = {};
};
std::optional<PinnedRequest> requestPinned(const Work& work, IPv4Address ip, bool selecting = false) {
    if (isPinnedToOther(work, ip)) return PinnedRequest{false, Text::Nak::pinnedToOther};
    if (!work.pin) return std::nullopt;
    if (ip == work.pin->ip) return PinnedRequest{true};
    // Only an ordinary address this server just offered it, while its pin was still taken.
    if (selecting && ownLeaseHolds(work, ip)) return std::nullopt;
    return PinnedRequest{false, Text::Nak::pinnedElsewhere};
}

// Another device still on the books for the address loses it once a probe finds it gone.
void grantPin(Work& work, IPv4Address ip) {
    if (otherHolder(work, ip)) {
        auto probe = work.context.probes.find(ip);
        if (probe == work.context.probes.end()) {
            work.action = DecisionAction::probe(ip);
            return;
        }
        if (probe->second) return nak(work, Text::Nak::inUse);
    }
    acknowledge(work, ip);
}

// The client accepts this server's offer (RFC 2131 4.3.2, SELECTING).
void requestSelecting(Work& work) {
    auto ip = work.packet.requestedIP();
    if (!ip && work.packet.ciaddr != IPv4Address::zero) ip = work.packet.ciaddr;
    if (!ip) return nak(work, Text::Nak::noRequestedAddress);
    if (auto pinned = requestPinned(work, *ip, true))
        return pinned->grant ? grantPin(work, *ip) : nak(work, pinned->nak);
    if (ownLeaseHolds(work, *ip) || isFree(work, *ip)) return acknowledge(work, *ip);
    nak(work, Text::Nak::notAvailable);
}

// A client rebooting with an address it remembers (INIT-REBOOT).
void requestRebooting(Work& work) {
    const auto& config = work.config;
    auto ip = work.packet.requestedIP();
    if (!ip) return nak(work, Text::Nak::noRequestedAddress);
    if (!config.subnet().contains(*ip)) return nak(work, Text::Nak::notOnNetwork);
    if (auto pinned = requestPinned(work, *ip)) return pinned->grant ? grantPin(work, *ip) : nak(work, pinned->nak);
    if (!config.inRange(*ip) || *ip == config.serverIP) return nak(work, Text::Nak::outsideRange);
    if (work.table.isQuarantined(*ip, work.now())) return nak(work, Text::Nak::declinedRecently);
    if (otherHolder(work, *ip)) return nak(work, Text::Nak::inUse);
    acknowledge(work, *ip);
}

// A client renewing or rebinding the address in ciaddr.
void requestRenewing(Work& work) {
    auto ip = work.packet.ciaddr;
    if (auto pinned = requestPinned(work, ip)) return pinned->grant ? grantPin(work, ip) : nak(work, pinned->nak);
    if (ownLeaseHolds(work, ip) || isFree(work, ip)) return acknowledge(work, ip);
    nak(work, Text::Nak::notAvailableForRenewal);
}

void handleRequest(Work& work) {
    auto serverID = work.packet.serverID();
    if (serverID && *serverID != work.config.serverIP) return choseAnotherServer(work, *serverID);
    if (serverID) return requestSelecting(work);
    if (work.packet.ciaddr == IPv4Address::zero) return requestRebooting(work);
    requestRenewing(work);
}

// ---- DHCPDECLINE, DHCPRELEASE, DHCPINFORM ----------------------------------------------------

void handleDecline(Work& work) {
    auto ip = work.packet.requestedIP();
    if (!ip) return work.drop(Text::declineWithoutAddress, work.mac);
    // Only the device that holds the address (or was just offered it) can know it is taken;
    // anyone else's word would let one device take another's address or drain the pool.
    if (auto serverID = work.packet.serverID(); serverID && *serverID != work.config.serverIP)
        return work.drop(Text::declineForAnotherServer, work.mac);
    if (!work.config.inRange(*ip)) return work.drop(Text::declineOutsideRange, work.mac);
    if (!ownLeaseHolds(work, *ip)) return work.drop(Text::declineNotHeld, work.mac);
    auto quarantineSeconds = static_cast<std::uint32_t>(Timing::quarantine);
    work.table.addQuarantine(*ip, work.now().addingSeconds(Timing::quarantine), work.mac);
    work.table.remove(work.mac);
    work.events.push_back(ServerEvent::leaseRemoved(work.mac));
    work.info(Text::declined(work.mac, *ip, quarantineSeconds));
    work.tableChanged = true;
}

void handleRelease(Work& work) {
    auto serverID = work.packet.serverID();
    if (!serverID || *serverID != work.config.serverIP) return work.info(Text::releaseForAnotherServer(work.mac));
    auto own = work.table.lease(work.mac);
    if (!own || own->ip != work.packet.ciaddr) return work.info(Text::releaseOfUnknownLease(work.mac));
    own->state = Lease::State::released;
    own->expiresAt = work.now();
    own->lastSeen = work.now();
    work.table.upsert(*own);
    work.events.push_back(ServerEvent::leaseChanged(std::move(*own)));
    work.tableChanged = true;
}

void handleInform(Work& work) {
    auto ciaddr = work.packet.ciaddr;
    if (!work.config.subnet().contains(ciaddr)) return work.drop(Text::informOffSubnet(ciaddr), work.mac);
    work.info(Text::staticDeviceAskedForOptions(ciaddr, work.mac));
    reply(work, Type::ack, IPv4Address::zero, false);
}

// ---- BOOTREQUEST -----------------------------------------------------------------------------

// Chosen as for a DISCOVER; a client that knows its address says so in ciaddr.
std::optional<IPv4Address> bootpAddress(const Work& work) {
    auto wanted = work.packet.requestedIP();
    if (!wanted && work.packet.ciaddr != IPv4Address::zero) wanted = work.packet.ciaddr;
    return chooseFor(work, wanted);
}

// BOOTP has no renewals: the lease is bound at once, and each request starts its time again.
void handleBootRequest(Work& work) {
    auto chosen = bootpAddress(work);
    if (!chosen) return work.drop(Text::poolExhausted, work.mac);
    if (otherHolder(work, *chosen) && !work.context.probes.contains(*chosen)) {
        work.action = DecisionAction::probe(*chosen);
        return;
    }
    assign(work, *chosen, Lease::State::bound, work.now().addingSeconds(work.config.leaseSeconds));
    auto answer = bootReply(work.packet, work.config, *chosen, work.mac);
    if (work.pin && work.pin->ip == *chosen) {
        auto pinned = Text::pinnedNote(work.pin->label);
        answer.note = answer.note ? *answer.note + std::string(Text::noteSeparator) + pinned : pinned;
    }
    work.action = DecisionAction::reply(std::move(answer));
}

// ---- Screening and dispatch ------------------------------------------------------------------

// A request this server serves: a DHCP message of this type, or a plain BOOTREQUEST without one.
struct Screened {
    std::optional<Type> type;
};

// Nothing after reporting why the message is not served.
std::optional<Screened> screen(Work& work) {
    const auto& packet = work.packet;
    if (packet.op != 1) {
        work.drop(Text::notClientRequest(packet.op), std::nullopt);
        return std::nullopt;
    }
    auto mac = packet.mac();
    if (packet.htype != 1 || packet.hlen != 6 || !mac) {
        work.drop(Text::notEthernet(packet.htype, packet.hlen), std::nullopt);
        return std::nullopt;
    }
    work.mac = *mac;
    if (packet.giaddr != IPv4Address::zero) {
        work.drop(Text::relayed, work.mac);
        return std::nullopt;
    }
    if (!packet.option(OptionCode::messageType) && work.config.answerBOOTP) return Screened{std::nullopt};
    auto type = packet.messageType();
    if (!type) {
        work.drop(Text::bootp, work.mac);
        return std::nullopt;
    }
    if (*type == Type::offer || *type == Type::ack || *type == Type::nak) {
        work.drop(Text::serverMessage(*type), work.mac);
        return std::nullopt;
    }
    return Screened{type};
}

Decision run(const ServerConfig& config, const DHCPPacket& packet, const DecisionContext& context, LeaseTable table) {
    Work work{config, packet, context, std::move(table), {}};
    // Expired quarantine goes quietly: it reaches the file with the next change that is saved.
    work.table.pruneQuarantine(context.now);
    auto screened = screen(work);
    if (screened) work.pin = pinOf(config.pins, work.mac, packet.option(OptionCode::clientID));
    if (screened && !screened->type) {
        handleBootRequest(work);
    } else if (screened) {
        switch (*screened->type) {
            case Type::discover: handleDiscover(work); break;
            case Type::request: handleRequest(work); break;
            case Type::decline: handleDecline(work); break;
            case Type::release: handleRelease(work); break;
            case Type::inform: handleInform(work); break;
            case Type::offer:
            case Type::ack:
            case Type::nak: break;
        }
    }
    return Decision{std::move(work.action), std::move(work.table), work.tableChanged, std::move(work.events)};
}

}  // namespace

Decision Responder::decide(const DHCPPacket& packet, const DecisionContext& context) const {
    return run(config, packet, context, context.table);
}

Decision Responder::decide(const DHCPPacket& packet, DecisionContext&& context) const {
    LeaseTable table = std::move(context.table);
    return run(config, packet, context, std::move(table));
}

}  // namespace anvil
