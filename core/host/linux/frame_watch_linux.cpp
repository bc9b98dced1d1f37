#include <cerrno>

#include "core/host/frame_watch.hpp"

namespace anvil {

// PLACEHOLDER: replaced by the packet socket and the helper's relay.
std::variant<FrameWatch, PrivilegeHelper::Failure> openFrameWatch(const std::string&, const std::string&) {
    return PrivilegeHelper::Failure{"watch", ENOSYS};
}
void closeFrameWatch(FrameWatch&) {}
FrameReception receiveFrame(const FrameWatch&, std::span<std::uint8_t>) { return WatchEnded{ENOSYS}; }
bool PrivilegeHelper::watchNotNeeded() { return false; }

}  // namespace anvil
