#pragma once
// Every server event as one log line ("09:05:03.042  RX DISCOVER  …") or one compact JSON object.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/addressing/date.hpp"
#include "core/addressing/maker_registry.hpp"
#include "core/events/packet_summary.hpp"
#include "core/events/server_event.hpp"

namespace anvil {

// The time zone a line's clock time is read in.
struct TimeZone {
    enum class Kind { current, utc, fixed };
    Kind kind = Kind::current;
    int offsetSeconds = 0;  // fixed only, east of UTC positive

    static TimeZone current() { return {}; }
    static TimeZone utc() { return {Kind::utc, 0}; }
    static TimeZone fixed(int offsetSeconds) { return {Kind::fixed, offsetSeconds}; }
};

namespace EventLog {

// Nothing for an event that has no line (a cleared notice).
std::optional<std::string> line(const ServerEvent& event, Date at, TimeZone zone = TimeZone::current());
std::string line(std::string_view label, std::string_view text, Date at, TimeZone zone = TimeZone::current());
// With a maker lookup, received messages and lease changes also carry the hardware's "maker".
std::optional<std::string> json(const ServerEvent& event, Date at, const MakerLookup& maker = {});

// The pieces, for front ends that show them apart.
struct LabelAndText {
    std::string label;
    std::string text;
};
std::optional<LabelAndText> labelAndText(const ServerEvent& event);
std::string packetDescription(const PacketSummary& summary);
std::string timeStamp(Date at, TimeZone zone);
// "512 B", "1.5 KiB", "4.0 MiB": binary units, one decimal.
std::string byteCount(std::uint64_t bytes);
// "2025-01-02T03:04:05Z"
std::string internetDate(Date at);

}  // namespace EventLog

}  // namespace anvil
