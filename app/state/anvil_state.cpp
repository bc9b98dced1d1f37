#include "app/state/anvil_state.hpp"

#include <algorithm>
#include <type_traits>

#include "core/dhcp/option_catalog.hpp"
#include "core/dhcp/reply_kind.hpp"

namespace anvil {

bool AnvilState::isRunScoped(NoticeKind kind) {
    return std::find(runScoped.begin(), runScoped.end(), kind) != runScoped.end();
}

void AnvilState::loadLeases(const LeaseFile::LoadResult& result) {
    std::unordered_map<MACAddress, Lease> loaded;
    for (const Lease& lease : result.table.leases()) {
        auto [slot, inserted] = loaded.try_emplace(lease.mac, lease);
        // Strictly later only: on a tie the earlier entry in the table wins.
        if (!inserted && lease.lastSeen > slot->second.lastSeen) slot->second = lease;
    }
    leases = std::move(loaded);
    if (result.setAsideURL)
        raise(Notice::leaseFileSetAside(*result.setAsideURL));
    else if (result.journalSetAsideURL)
        raise(Notice::leaseJournalSetAside(*result.journalSetAsideURL));
}

void AnvilState::runStarted(const std::string& interface) {
    presence.clear();
    transfers.clear();
    notices.clear();
    deviceFound.reset();
    lastPacketAt.reset();
    serverInterface = interface;
    exchanges.clear();
    neighbours.clear();
}

AnvilState::OptionExchange& AnvilState::noteExchange(const MACAddress& mac) {
    // A stream of made-up addresses must not grow the state without end.
    if (exchanges.size() >= exchangeCapacity && !exchanges.contains(mac)) {
        std::erase_if(exchanges, [this](const auto& entry) { return !leases.contains(entry.first); });
        // Every client that got an offer has a lease too: then the one heard from longest ago goes.
        if (exchanges.size() >= exchangeCapacity) {
            auto oldest = std::min_element(exchanges.begin(), exchanges.end(), [this](const auto& a, const auto& b) {
                return leases.at(a.first).lastSeen < leases.at(b.first).lastSeen;
            });
            exchanges.erase(oldest);
        }
    }
    return exchanges[mac];
}

std::optional<int> ActiveTransfer::percent() const {
    if (!size) return std::nullopt;
    if (*size == 0 || bytes >= *size) return 100;
    // In floating point: bytes * 100 overflows for sizes near the top of the range.
    return static_cast<int>(static_cast<double>(bytes) / static_cast<double>(*size) * 100);
}

namespace {

// The event's device is the one with that hardware address; without one, whoever has the address.
template <typename Item>
bool sameDevice(const Item& item, const MACAddress& mac, IPv4Address ip) {
    return item.mac ? *item.mac == mac : item.client == ip;
}

}  // namespace

ActiveTransfer& AnvilState::noteTransfer(std::uint32_t transfer, IPv4Address client,
                                         const std::optional<MACAddress>& mac, const std::string& file, Date at) {
    if (transfers.size() >= transferCapacity && !transfers.contains(transfer)) {
        auto oldest = std::min_element(transfers.begin(), transfers.end(), [](const auto& a, const auto& b) {
            return a.second.since < b.second.since;
        });
        transfers.erase(oldest);
    }
    auto [slot, inserted] = transfers.try_emplace(transfer);
    if (inserted) slot->second = ActiveTransfer{transfer, client, mac, file, 0, std::nullopt, at};
    return slot->second;
}

void AnvilState::endTransfer(TransferResult result, std::uint32_t transfer) {
    transfers.erase(transfer);
    std::erase_if(transferResults, [&](const TransferResult& kept) {
        return kept.mac == result.mac && (result.mac || kept.client == result.client);
    });
    if (transferResults.size() >= transferResultCapacity) transferResults.erase(transferResults.begin());
    transferResults.push_back(std::move(result));
}

const ActiveTransfer* AnvilState::activeTransfer(const MACAddress& mac, IPv4Address ip) const {
    const ActiveTransfer* newest = nullptr;
    for (const auto& [number, transfer] : transfers)
        if (sameDevice(transfer, mac, ip) && (!newest || transfer.since >= newest->since)) newest = &transfer;
    return newest;
}

const TransferResult* AnvilState::lastTransferResult(const MACAddress& mac, IPv4Address ip) const {
    for (auto result = transferResults.rbegin(); result != transferResults.rend(); ++result)
        if (sameDevice(*result, mac, ip)) return &*result;
    return nullptr;
}

std::vector<Neighbour> AnvilState::neighboursWithoutLease() const {
    std::vector<Neighbour> found;
    for (const auto& [mac, device] : neighbours)
        if (!device.holdsLease && !leases.contains(mac)) found.push_back(device);
    std::sort(found.begin(), found.end(), [](const Neighbour& a, const Neighbour& b) {
        if (a.lastSeen != b.lastSeen) return b.lastSeen < a.lastSeen;
        return a.mac.description() < b.mac.description();
    });
    return found;
}

const Neighbour* AnvilState::neighbour(const MACAddress& mac) const {
    auto found = neighbours.find(mac);
    return found == neighbours.end() ? nullptr : &found->second;
}

void AnvilState::noteNeighbour(const ServerEvent::Neighbour& event) {
    const MACAddress& mac = event.device.mac;
    if (event.change == NeighbourChange::gone) {
        neighbours.erase(mac);
        return;
    }
    // The watch bounds its own book; this bound holds even when a gone was lost on the way.
    if (neighbours.size() >= neighbourCapacity && !neighbours.contains(mac)) {
        auto oldest = std::min_element(neighbours.begin(), neighbours.end(), [](const auto& a, const auto& b) {
            return a.second.lastSeen < b.second.lastSeen;
        });
        neighbours.erase(oldest);
    }
    neighbours.insert_or_assign(mac, event.device);
}

std::optional<std::string> AnvilState::lastReplyNote(const MACAddress& mac) const {
    auto found = exchanges.find(mac);
    return found == exchanges.end() ? std::nullopt : found->second.note;
}

std::vector<RequestedOption> AnvilState::requestedOptions(const MACAddress& mac) const {
    std::vector<RequestedOption> options;
    auto found = exchanges.find(mac);
    if (found == exchanges.end()) return options;
    const auto& given = found->second.given;
    for (auto code : found->second.requested)
        options.push_back({code, OptionCatalog::name(code), std::find(given.begin(), given.end(), code) != given.end()});
    return options;
}

void AnvilState::apply(const ServerEvent& event, Date at) {
    std::visit(
        [&](const auto& payload) {
            using Case = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<Case, ServerEvent::Started>) {
                serverInterface = payload.interface;
            } else if constexpr (std::is_same_v<Case, ServerEvent::Received>) {
                lastPacketAt = at;
                auto requested = payload.packet.requestedCodes();
                if (payload.packet.mac && !requested.empty()) noteExchange(*payload.packet.mac).requested = requested;
            } else if constexpr (std::is_same_v<Case, ServerEvent::Sent>) {
                auto type = payload.reply.type;
                if (type == DHCPMessageType::offer || bindsAddress(type)) {
                    auto& exchange = noteExchange(payload.reply.mac);
                    exchange.given = payload.reply.options;
                    exchange.note = payload.reply.note;
                    if (exchange.note && exchange.note->size() > noteCapacity) {
                        // Cut at a character's start: the text is UTF-8.
                        std::size_t cut = noteCapacity;
                        while (cut > 0 && (static_cast<unsigned char>((*exchange.note)[cut]) & 0xC0) == 0x80) --cut;
                        exchange.note = exchange.note->substr(0, cut) + "…";
                    }
                }
                // A BOOTP client starts using its address at the reply, as a DHCP client at its ACK.
                if (!bindsAddress(type)) return;
                auto found = leases.find(payload.reply.mac);
                if (found != leases.end() && found->second.ip == payload.reply.ip) deviceFound = found->second;
            } else if constexpr (std::is_same_v<Case, ServerEvent::LeaseChanged>) {
                leases.insert_or_assign(payload.lease.mac, payload.lease);
                if (deviceFound && deviceFound->mac == payload.lease.mac) deviceFound = payload.lease;
            } else if constexpr (std::is_same_v<Case, ServerEvent::LeaseRemoved>) {
                leases.erase(payload.mac);
                exchanges.erase(payload.mac);
                if (deviceFound && deviceFound->mac == payload.mac) deviceFound.reset();
            } else if constexpr (std::is_same_v<Case, ServerEvent::Presence>) {
                presence[payload.ip] = payload.state;
            } else if constexpr (std::is_same_v<Case, ServerEvent::NoticeRaised>) {
                raise(payload.notice);
            } else if constexpr (std::is_same_v<Case, ServerEvent::NoticeCleared>) {
                dismiss(payload.kind);
            } else if constexpr (std::is_same_v<Case, ServerEvent::Stopped>) {
                for (NoticeKind kind : runScoped) notices.erase(kind);
                presence.clear();
                serverInterface.reset();
                transfers.clear();
                // The watch ends with the run.
                neighbours.clear();
            } else if constexpr (std::is_same_v<Case, ServerEvent::Neighbour>) {
                noteNeighbour(payload);
            } else if constexpr (std::is_same_v<Case, ServerEvent::TFTPRequested>) {
                noteTransfer(payload.transfer, payload.client, payload.mac, payload.file, at);
            } else if constexpr (std::is_same_v<Case, ServerEvent::TFTPProgress>) {
                // Also when its request was never seen: the hand-over may have let it go.
                auto& transfer = noteTransfer(payload.transfer, payload.client, payload.mac, payload.file, at);
                transfer.bytes = payload.bytes;
                transfer.size = payload.size;
            } else if constexpr (std::is_same_v<Case, ServerEvent::TFTPFinished>) {
                endTransfer({payload.client, payload.mac, payload.file, payload.bytes, payload.seconds, std::nullopt, {}, at},
                            payload.transfer);
            } else if constexpr (std::is_same_v<Case, ServerEvent::TFTPFailed>) {
                auto bytes = transfers.contains(payload.transfer) ? transfers.at(payload.transfer).bytes : 0;
                double seconds = transfers.contains(payload.transfer)
                                     ? at.secondsSince(transfers.at(payload.transfer).since)
                                     : 0;
                endTransfer({payload.client, payload.mac, payload.file, bytes, seconds, payload.reason, payload.detail, at},
                            payload.transfer);
            }
            // dropped, link and info change nothing here.
        },
        event.value);
}

}  // namespace anvil
