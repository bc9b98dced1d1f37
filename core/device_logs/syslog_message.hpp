#pragma once
// One syslog datagram as a device sent it: RFC 5424, RFC 3164 and the looser forms real senders
// use (no timestamp, no host), or else a plain line. Every text is the sender's own bytes, unchecked:
// shown through plainText, never trusted (the host field least of all: it names whatever the
// sender likes).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/device_logs/severity.hpp"

namespace anvil {

enum class SyslogFormat { rfc3164, rfc5424, plain };

struct SyslogMessage {
    SyslogFormat format = SyslogFormat::plain;
    // From the priority; none for a plain line.
    std::optional<std::uint8_t> facility;
    std::optional<Severity> severity;
    // Empty when the sender left it out (or sent "-").
    std::string timestamp;
    std::string host;
    // The RFC 3164 tag or the RFC 5424 app name, and its process id.
    std::string app;
    std::string processID;
    std::string messageID;
    // RFC 5424 structured data as sent, brackets included.
    std::string structuredData;
    std::string text;
    // The datagram as received, up to DeviceLogLimits::lineBytes.
    std::string raw;
    // The datagram was longer and was cut.
    bool cut = false;

    friend bool operator==(const SyslogMessage&, const SyslogMessage&) = default;
};

// Never fails: what is not syslog is a plain line. Reads no further than the limit.
SyslogMessage parseSyslogMessage(std::span<const std::uint8_t> datagram);
SyslogMessage parseSyslogMessage(std::string_view datagram);

// "kern", "user", … "local7"; a number as text past 23.
std::string facilityName(std::uint8_t facility);

}  // namespace anvil
