#include "core/events/server_event.hpp"

#include <iterator>

namespace anvil {

std::string_view ServerEvent::caseName() const {
    static constexpr std::string_view names[] = {"started",      "received",      "sent",     "dropped",
                                                 "leaseChanged", "leaseRemoved",  "presence", "link",
                                                 "noticeRaised", "noticeCleared", "info",     "stopped",
                                                 "tftpRequested", "tftpProgress", "tftpFinished", "tftpFailed",
                                                 "neighbour"};
    static_assert(std::size(names) == std::variant_size_v<Case>);
    return names[value.index()];
}

}  // namespace anvil
