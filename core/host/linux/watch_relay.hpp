#pragma once
// The helper's side of a cable watch, for frame_watch_linux.cpp: starting "<card> watch" and
// ending it. Spawning lives with the helper's other requests in privilege_helper_linux.cpp.
#include <string>
#include <sys/types.h>
#include <variant>

#include "core/host/frame_watch.hpp"

namespace anvil::PrivilegeHelper {

// Starts the helper, asks it to watch `interfaceName` and waits a few seconds at most for "ok";
// the helper then stays running, relaying frames over the returned descriptor.
std::variant<FrameWatch, Failure> startWatchRelay(const std::string& interfaceName, const std::string& helperPath);

// Waits for a relaying helper whose end was closed to exit, killing it after about two seconds.
void endWatchRelay(pid_t relay);

}  // namespace anvil::PrivilegeHelper
