#include "core/watch_service/cable_watch.hpp"

namespace anvil {

// PLACEHOLDER: replaced by the watch on the loop.
struct CableWatch::State {};
CableWatch::CableWatch(asio::io_context&, std::string, Callbacks, Seams) {}
CableWatch::~CableWatch() = default;
bool CableWatch::start() { return false; }
void CableWatch::stop() {}
void CableWatch::restart(std::string) {}
void CableWatch::leaseChanged(const MACAddress&, bool) {}
std::vector<Neighbour> CableWatch::neighbours() const { return {}; }
bool CableWatch::isWatching() const { return false; }

}  // namespace anvil
