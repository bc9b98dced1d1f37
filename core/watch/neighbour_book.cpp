#include "core/watch/neighbour_book.hpp"

#include <algorithm>

#include "core/watch/neighbour_advice.hpp"

namespace anvil {

namespace {

template <class Entry>
void keepNewest(std::vector<Entry>& entries) {
    if (entries.size() > Neighbour::addressCapacity)
        entries.erase(entries.begin(), entries.end() - static_cast<std::ptrdiff_t>(Neighbour::addressCapacity));
}

// True when the address is new to the device's claims. A repeated claim moves to the newest place so it
// outlives ones the device stopped using; that order alone is not reported.
// Only an address a device can hold counts: a hostile frame naming 0/8, loopback, multicast or broadcast
// as its own claims nothing.
bool isUnicast(IPv4Address address) {
    auto first = address.value >> 24;
    return first != 0 && first != 127 && first < 224;
}

bool addClaim(Neighbour& neighbour, IPv4Address address) {
    if (!isUnicast(address)) return false;
    auto& claims = neighbour.claims;
    auto found = std::find(claims.begin(), claims.end(), address);
    if (found != claims.end()) {
        std::rotate(found, found + 1, claims.end());
        return false;
    }
    claims.push_back(address);
    keepNewest(claims);
    return true;
}

// True when the address is newly asked for, or its count just reached the point where it looks like a
// recovery loader; a count growing past that is not news.
bool addAsk(Neighbour& neighbour, IPv4Address address) {
    auto& asks = neighbour.asksFor;
    auto found = std::find_if(asks.begin(), asks.end(), [&](const AskedAddress& ask) { return ask.address == address; });
    if (found != asks.end()) {
        if (found->count < recoveryAskCount) {
            ++found->count;
            return found->count == recoveryAskCount;
        }
        return false;
    }
    asks.push_back({address, 1});
    keepNewest(asks);
    return true;
}

bool noteARP(Neighbour& neighbour, const ARPFrame& arp) {
    // A probe (sender 0.0.0.0), or a sender no device can be, only tells us the device is there.
    if (!isUnicast(arp.senderIP)) return false;
    bool changed = addClaim(neighbour, arp.senderIP);
    if (arp.isRequest && !arp.isGratuitous() && isUnicast(arp.targetIP))
        changed = addAsk(neighbour, arp.targetIP) || changed;
    return changed;
}

bool noteTFTP(Neighbour& neighbour, const TFTPReadFrame& read) {
    bool changed = addClaim(neighbour, read.client);
    if (neighbour.tftpFile != read.file || neighbour.tftpServer != read.server) {
        neighbour.tftpFile = read.file;
        neighbour.tftpServer = read.server;
        changed = true;
    }
    return changed;
}

const MACAddress& sourceOf(const WatchedFrame& frame) {
    return std::visit([](const auto& parsed) -> const MACAddress& { return parsed.source; }, frame);
}

}  // namespace

std::optional<NeighbourUpdate> NeighbourBook::observe(const WatchedFrame& frame, Date now,
                                                      const NeighbourContext& context) {
    const auto& source = sourceOf(frame);
    if (context.ownMAC && *context.ownMAC == source) return std::nullopt;
    auto found = std::find_if(neighbours_.begin(), neighbours_.end(),
                              [&](const Neighbour& neighbour) { return neighbour.mac == source; });

    if (const auto* lldp = std::get_if<LLDPFrame>(&frame); lldp && lldp->timeToLive == 0) {
        // Only the device itself may say it leaves: its chassis as it announced it, not just its
        // source address, which any device on the cable can send.
        if (found == neighbours_.end()) return std::nullopt;
        if (!found->lldp || found->lldp->chassisID != lldp->identity.chassisID) {
            found->lastSeen = now;
            return std::nullopt;
        }
        NeighbourUpdate gone{NeighbourChange::gone, std::move(*found)};
        neighbours_.erase(found);
        return gone;
    }

    bool isNew = found == neighbours_.end();
    if (isNew) {
        // A full book forgets the device heard from longest ago, silently: it is the one most likely gone
        // already, and expire() would have reported it soon anyway.
        if (neighbours_.size() >= capacity) {
            auto quietest = std::min_element(neighbours_.begin(), neighbours_.end(),
                                             [](const Neighbour& a, const Neighbour& b) { return a.lastSeen < b.lastSeen; });
            neighbours_.erase(quietest);
        }
        Neighbour neighbour;
        neighbour.mac = source;
        neighbour.firstSeen = now;
        if (context.maker) neighbour.maker = context.maker(source).value_or("");
        neighbours_.push_back(std::move(neighbour));
        found = neighbours_.end() - 1;
    }
    auto& neighbour = *found;
    neighbour.lastSeen = now;

    bool changed = false;
    if (const auto* arp = std::get_if<ARPFrame>(&frame)) changed = noteARP(neighbour, *arp);
    else if (const auto* lldp = std::get_if<LLDPFrame>(&frame)) {
        if (neighbour.lldp != lldp->identity) {
            neighbour.lldp = lldp->identity;
            changed = true;
        }
    } else if (const auto* read = std::get_if<TFTPReadFrame>(&frame))
        changed = noteTFTP(neighbour, *read);

    bool holds = context.holdsLease && context.holdsLease(source);
    if (holds != neighbour.holdsLease) {
        neighbour.holdsLease = holds;
        changed = true;
    }
    if (isNew) return NeighbourUpdate{NeighbourChange::seen, neighbour};
    if (changed) return NeighbourUpdate{NeighbourChange::changed, neighbour};
    return std::nullopt;
}

std::optional<NeighbourUpdate> NeighbourBook::leaseChanged(const MACAddress& mac, bool holdsLease) {
    auto found = std::find_if(neighbours_.begin(), neighbours_.end(),
                              [&](const Neighbour& neighbour) { return neighbour.mac == mac; });
    if (found == neighbours_.end() || found->holdsLease == holdsLease) return std::nullopt;
    found->holdsLease = holdsLease;
    return NeighbourUpdate{NeighbourChange::changed, *found};
}

std::vector<NeighbourUpdate> NeighbourBook::expire(Date now) {
    std::vector<NeighbourUpdate> gone;
    auto quiet = [&](const Neighbour& neighbour) { return now.secondsSince(neighbour.lastSeen) >= quietSeconds; };
    for (const auto& neighbour : neighbours_)
        if (quiet(neighbour)) gone.push_back({NeighbourChange::gone, neighbour});
    std::erase_if(neighbours_, quiet);
    return gone;
}

const Neighbour* NeighbourBook::find(const MACAddress& mac) const {
    for (const auto& neighbour : neighbours_)
        if (neighbour.mac == mac) return &neighbour;
    return nullptr;
}

bool NeighbourBook::isClaimed(IPv4Address address) const {
    for (const auto& neighbour : neighbours_)
        if (std::find(neighbour.claims.begin(), neighbour.claims.end(), address) != neighbour.claims.end()) return true;
    return false;
}

}  // namespace anvil
