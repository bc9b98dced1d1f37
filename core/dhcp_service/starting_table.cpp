#include "core/dhcp_service/starting_table.hpp"

namespace anvil {

StartingTable startingTable(std::variant<LeaseFile::LoadResult, std::string> loaded, AddressRange range, Date now,
                            const std::string& journalName) {
    StartingTable start;
    auto& reports = start.reports;
    if (auto* failure = std::get_if<std::string>(&loaded)) {
        start.readable = false;
        reports.push_back(ServerEvent::noticeRaised(Notice::leaseReadFailedAtStart(*failure)));
    } else {
        auto& result = std::get<LeaseFile::LoadResult>(loaded);
        start.table = std::move(result.table);
        if (result.setAsideURL)
            reports.push_back(ServerEvent::noticeRaised(Notice::leaseFileSetAside(*result.setAsideURL)));
        else if (result.journalSetAsideURL)
            reports.push_back(ServerEvent::noticeRaised(Notice::leaseJournalSetAside(*result.journalSetAsideURL)));
        if (result.journalBytesDropped > 0)
            reports.push_back(ServerEvent::info(journalName + " ended in an unfinished write; dropped " +
                                                std::to_string(result.journalBytesDropped) + " bytes"));
    }
    for (const auto& lease : start.table.dropOutside(range)) {
        reports.push_back(ServerEvent::info("dropped lease " + lease.ip.description() + " for " +
                                            lease.mac.description() + ": outside the range"));
        reports.push_back(ServerEvent::leaseRemoved(lease.mac));
    }
    for (const auto& lease : start.table.dropExpiredOffers(now))
        reports.push_back(ServerEvent::leaseRemoved(lease.mac));
    return start;
}

}  // namespace anvil
