#include "core/events/anvil_state.hpp"

#include <algorithm>
#include <type_traits>

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
}

void AnvilState::apply(const ServerEvent& event, Date at) {
    std::visit(
        [&](const auto& payload) {
            using Case = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<Case, ServerEvent::Started>) {
                serverInterface = payload.interface;
            } else if constexpr (std::is_same_v<Case, ServerEvent::Received>) {
                lastPacketAt = at;
            } else if constexpr (std::is_same_v<Case, ServerEvent::Sent>) {
                if (payload.reply.type != DHCPMessageType::ack) return;
                auto found = leases.find(payload.reply.mac);
                if (found != leases.end() && found->second.ip == payload.reply.ip) deviceFound = found->second;
            } else if constexpr (std::is_same_v<Case, ServerEvent::LeaseChanged>) {
                leases.insert_or_assign(payload.lease.mac, payload.lease);
                if (deviceFound && deviceFound->mac == payload.lease.mac) deviceFound = payload.lease;
            } else if constexpr (std::is_same_v<Case, ServerEvent::LeaseRemoved>) {
                leases.erase(payload.mac);
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
