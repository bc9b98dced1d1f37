#include "core/discovery/watched_frame.hpp"

namespace anvil {

// PLACEHOLDER: replaced by the frame parsers.
std::variant<WatchedFrame, FrameParseError> parseWatchedFrame(std::span<const std::uint8_t>) {
    return FrameParseError{"not read yet"};
}

}  // namespace anvil
