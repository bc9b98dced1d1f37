#include "core/device_logs/syslog_message.hpp"

#include <algorithm>
#include <array>

#include "core/device_logs/device_log_limits.hpp"

namespace anvil {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool digitsAt(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) return false;
    for (std::size_t k = at; k < at + count; ++k)
        if (!isDigit(text[k])) return false;
    return true;
}

// Splits off the text up to the next space and the space itself; nothing when there is no space.
std::optional<std::string_view> takeField(std::string_view& rest) {
    auto space = rest.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    auto field = rest.substr(0, space);
    rest.remove_prefix(space + 1);
    return field;
}

// The text up to the next space (or the end), and the rest after that space.
std::string_view takeWord(std::string_view& rest) {
    auto space = rest.find(' ');
    auto word = rest.substr(0, space);
    rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1);
    return word;
}

std::string nilOr(std::string_view field) { return field == "-" ? std::string() : std::string(field); }

// "<PRI>": one to three digits, at most 191 (facility 23, severity 7).
std::optional<unsigned> takePriority(std::string_view& rest) {
    if (rest.size() < 3 || rest[0] != '<') return std::nullopt;
    unsigned value = 0;
    std::size_t at = 1;
    while (at < rest.size() && at <= 3 && isDigit(rest[at])) value = value * 10 + unsigned(rest[at++] - '0');
    if (at == 1 || at >= rest.size() || rest[at] != '>' || value > 191) return std::nullopt;
    rest.remove_prefix(at + 1);
    return value;
}

// The length of a 3164 "Mmm dd hh:mm:ss" (day padded with a space or a zero) or an RFC 3339 stamp
// at the start, or 0.
std::size_t timestampLength(std::string_view text) {
    static constexpr std::array<std::string_view, 12> months{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    auto endsWord = [&](std::size_t length) { return length == text.size() || text[length] == ' '; };
    bool month = false;
    for (auto name : months) month = month || text.starts_with(name);
    if (month && text.size() >= 15 && text[3] == ' ' && (text[4] == ' ' || isDigit(text[4])) && isDigit(text[5]) &&
        text[6] == ' ' && digitsAt(text, 7, 2) && text[9] == ':' && digitsAt(text, 10, 2) && text[12] == ':' &&
        digitsAt(text, 13, 2) && endsWord(15))
        return 15;
    if (digitsAt(text, 0, 4) && text.size() > 10 && text[4] == '-' && digitsAt(text, 5, 2) && text[7] == '-' &&
        digitsAt(text, 8, 2) && text[10] == 'T')
        return std::min(text.find(' '), text.size());
    return 0;
}

struct Tag {
    std::string_view app, processID;
};

// "app:" or "app[pid]:", the way 3164 senders end their tag.
std::optional<Tag> asTag(std::string_view word) {
    if (word.size() < 2 || word.back() != ':') return std::nullopt;
    word.remove_suffix(1);
    Tag tag{word, {}};
    if (word.back() == ']') {
        auto open = word.find('[');
        if (open == std::string_view::npos) return std::nullopt;
        tag = {word.substr(0, open), word.substr(open + 1, word.size() - open - 2)};
    }
    if (tag.app.empty() || tag.app.find_first_of(":[]") != std::string_view::npos) return std::nullopt;
    return tag;
}

void parse3164(std::string_view rest, SyslogMessage& message) {
    message.format = SyslogFormat::rfc3164;
    auto stamp = timestampLength(rest);
    if (stamp > 0) {
        message.timestamp = rest.substr(0, stamp);
        rest.remove_prefix(std::min(stamp + 1, rest.size()));
    }
    auto afterFirst = rest;
    auto first = takeWord(afterFirst);
    auto afterSecond = afterFirst;
    auto second = takeWord(afterSecond);
    if (auto tag = asTag(first)) {
        message.app = tag->app, message.processID = tag->processID;
        rest = afterFirst;
    } else if (auto hostTag = asTag(second); hostTag && !first.empty()) {
        message.host = first;
        message.app = hostTag->app, message.processID = hostTag->processID;
        rest = afterSecond;
    } else if (stamp > 0 && !first.empty()) {
        // After a timestamp comes the host, tag or not.
        message.host = first;
        rest = afterFirst;
    }
    message.text = rest;
}

// Structured data: "-" or one or more "[id name="value" …]", where a value may hold \" \\ \].
// Its length, or nothing when an element is never closed.
std::optional<std::size_t> structuredDataLength(std::string_view text) {
    if (text.starts_with('-')) return 1;
    std::size_t at = 0;
    while (at < text.size() && text[at] == '[') {
        bool quoted = false, closed = false;
        for (++at; at < text.size() && !closed; ++at) {
            char c = text[at];
            if (quoted && c == '\\')
                ++at;
            else if (c == '"')
                quoted = !quoted;
            else if (!quoted && c == ']')
                closed = true;
        }
        if (!closed) return std::nullopt;
    }
    if (at == 0) return std::nullopt;
    return at;
}

bool parse5424(std::string_view rest, SyslogMessage& message) {
    if (!rest.starts_with("1 ")) return false;
    rest.remove_prefix(2);
    auto stamp = takeField(rest);
    auto host = stamp ? takeField(rest) : std::nullopt;
    auto app = host ? takeField(rest) : std::nullopt;
    auto process = app ? takeField(rest) : std::nullopt;
    auto messageID = process ? takeField(rest) : std::nullopt;
    if (!messageID) return false;
    message.format = SyslogFormat::rfc5424;
    message.timestamp = nilOr(*stamp);
    message.host = nilOr(*host);
    message.app = nilOr(*app);
    message.processID = nilOr(*process);
    message.messageID = nilOr(*messageID);
    if (auto length = structuredDataLength(rest)) {
        message.structuredData = nilOr(rest.substr(0, *length));
        rest.remove_prefix(*length);
        if (rest.starts_with(' ')) rest.remove_prefix(1);
    }
    // Unclosed structured data stays in the text, as sent.
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
    message.text = rest;
    return true;
}

}  // namespace

SyslogMessage parseSyslogMessage(std::string_view datagram) {
    SyslogMessage message;
    message.cut = datagram.size() > DeviceLogLimits::lineBytes;
    auto kept = datagram.substr(0, DeviceLogLimits::lineBytes);
    message.raw = kept;
    // Senders end the datagram with a newline (busybox, BSD) or a NUL (some firmware), or neither.
    while (!kept.empty() && (kept.back() == '\n' || kept.back() == '\r' || kept.back() == '\0')) kept.remove_suffix(1);
    auto rest = kept;
    auto priority = takePriority(rest);
    if (!priority) {
        message.text = kept;
        return message;
    }
    message.facility = static_cast<std::uint8_t>(*priority / 8);
    message.severity = static_cast<Severity>(*priority % 8);
    if (!parse5424(rest, message)) parse3164(rest, message);
    return message;
}

SyslogMessage parseSyslogMessage(std::span<const std::uint8_t> datagram) {
    return parseSyslogMessage(std::string_view(reinterpret_cast<const char*>(datagram.data()), datagram.size()));
}

std::string facilityName(std::uint8_t facility) {
    static constexpr std::array<std::string_view, 16> names{
        "kern", "user", "mail",     "daemon", "auth", "syslog",   "lpr",     "news",
        "uucp", "cron", "authpriv", "ftp",    "ntp",  "security", "console", "cron2"};
    if (facility < names.size()) return std::string(names[facility]);
    if (facility <= 23) return "local" + std::to_string(facility - 16);
    return std::to_string(facility);
}

}  // namespace anvil
