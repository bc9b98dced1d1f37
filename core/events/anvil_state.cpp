#include "core/events/anvil_state.hpp"

#include <algorithm>
#include <type_traits>

#include "core/protocol/option_catalog.hpp"

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
    notices.clear();
    deviceFound.reset();
    lastPacketAt.reset();
    serverInterface = interface;
    exchanges.clear();
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
                if (type == DHCPMessageType::offer || type == DHCPMessageType::ack)
                    noteExchange(payload.reply.mac).given = payload.reply.options;
                if (type != DHCPMessageType::ack) return;
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
            }
            // dropped, link and info change nothing here.
        },
        event.value);
}

}  // namespace anvil
