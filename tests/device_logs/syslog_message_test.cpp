#include "core/device_logs/syslog_message.hpp"

#include <gtest/gtest.h>

#include "core/device_logs/device_log_line.hpp"
#include "core/device_logs/device_log_limits.hpp"

namespace anvil {
namespace {

TEST(SyslogMessage, readsWhatRealSendersSendAndKeepsTheRestAsPlainLines) {
    using enum SyslogFormat;
    using enum Severity;
    struct Case {
        std::string name, datagram;
        SyslogFormat format;
        std::optional<std::uint8_t> facility;
        std::optional<Severity> severity;
        std::string timestamp, host, app, processID, text, messageID = {}, structuredData = {};
    };
    const std::string bigText(64 * 1024, 'a');
    const std::vector<Case> cases{
        // RFC 3164 and its loose forms.
        {"logger --rfc3164", "<13>Dec 11 08:43:34 vm mytag[12056]: rfc3164 with pid", rfc3164, 1, notice,
         "Dec 11 08:43:34", "vm", "mytag", "12056", "rfc3164 with pid"},
        {"libc form relayed by busybox syslogd: no host", "<13>Dec 11 08:43:34 loc: local socket\n", rfc3164, 1,
         notice, "Dec 11 08:43:34", "", "loc", "", "local socket"},
        {"padded day, colon in text", "<30>Dec  1 08:43:34 cam dhcpcd[5]: eth0: carrier", rfc3164, 3, info,
         "Dec  1 08:43:34", "cam", "dhcpcd", "5", "eth0: carrier"},
        {"iPXE with a host name", "<6>pxe-7 ipxe: Configuring (net0)", rfc3164, 0, info, "", "pxe-7", "ipxe", "",
         "Configuring (net0)"},
        {"iPXE without", "<6>ipxe: Configuring", rfc3164, 0, info, "", "", "ipxe", "", "Configuring"},
        {"host but no tag", "<11>Dec 11 08:43:34 router link up", rfc3164, 1, err, "Dec 11 08:43:34", "router", "",
         "", "link up"},
        {"nothing but a priority", "<0>hello", rfc3164, 0, emerg, "", "", "", "", "hello"},
        {"RFC 3339 stamp", "<134>2026-12-11T08:43:34+00:00 cam1 sshd[7]: ok", rfc3164, 16, info,
         "2026-12-11T08:43:34+00:00", "cam1", "sshd", "7", "ok"},
        {"a fake host naming another device is kept as sent", "<13>Dec 11 08:43:34 printer-3 evil: hi", rfc3164, 1,
         notice, "Dec 11 08:43:34", "printer-3", "evil", "", "hi"},
        {"control bytes and invalid UTF-8 kept as sent", std::string("<12>t: \x1b[2J\xff\xfe\0x\r\n", 16), rfc3164, 1,
         warning, "", "", "t", "", std::string("\x1b[2J\xff\xfe\0x", 8)},
        // RFC 5424.
        {"logger --rfc5424", "<156>1 2026-12-11T08:43:34.567168+00:00 vm root - - [timeQuality tzKnown=\"1\"] plain",
         rfc5424, 19, warning, "2026-12-11T08:43:34.567168+00:00", "vm", "root", "", "plain", "",
         "[timeQuality tzKnown=\"1\"]"},
        {"two elements, an escaped bracket and quote, a BOM",
         "<165>1 2003-10-11T22:14:15.003Z host evntslog 42 ID47 [a@1 x=\"3\"][b@2 s=\"q\\\"u\\]e\"] \xEF\xBB\xBF" "event",
         rfc5424, 20, notice, "2003-10-11T22:14:15.003Z", "host", "evntslog", "42", "event", "ID47",
         "[a@1 x=\"3\"][b@2 s=\"q\\\"u\\]e\"]"},
        {"nil fields", "<13>1 - - root - - - stripped", rfc5424, 1, notice, "", "", "root", "", "stripped"},
        {"no message", "<13>1 - h a - - -", rfc5424, 1, notice, "", "h", "a", "", ""},
        {"unclosed structured data stays in the text", "<13>1 - h a - - [oops \"x]", rfc5424, 1, notice, "", "h", "a",
         "", "[oops \"x]"},
        {"too few fields is read the 3164 way", "<13>1 2026 host", rfc3164, 1, notice, "", "", "", "", "1 2026 host"},
        // Not syslog.
        {"plain text", "hello world\n", plain, {}, {}, "", "", "", "", "hello world"},
        {"priority past 191", "<192>x", plain, {}, {}, "", "", "", "", "<192>x"},
        {"empty priority", "<>x", plain, {}, {}, "", "", "", "", "<>x"},
        {"four digits", "<1234>x", plain, {}, {}, "", "", "", "", "<1234>x"},
        {"unclosed priority at the end", "<12", plain, {}, {}, "", "", "", "", "<12"},
        {"empty", "", plain, {}, {}, "", "", "", "", ""},
        {"64 KiB cut to the limit", "<13>" + bigText, rfc3164, 1, notice, "", "", "", "",
         bigText.substr(0, DeviceLogLimits::lineBytes - 4)},
    };
    for (const auto& c : cases) {
        auto message = parseSyslogMessage(c.datagram);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(message.format, c.format);
        EXPECT_EQ(message.facility, c.facility);
        EXPECT_EQ(message.severity, c.severity);
        EXPECT_EQ(message.timestamp, c.timestamp);
        EXPECT_EQ(message.host, c.host);
        EXPECT_EQ(message.app, c.app);
        EXPECT_EQ(message.processID, c.processID);
        EXPECT_EQ(message.messageID, c.messageID);
        EXPECT_EQ(message.structuredData, c.structuredData);
        EXPECT_EQ(message.text, c.text);
        EXPECT_EQ(message.cut, c.datagram.size() > DeviceLogLimits::lineBytes);
        EXPECT_EQ(message.raw, c.datagram.substr(0, DeviceLogLimits::lineBytes));
    }
}

TEST(SyslogMessage, becomesALineWithEveryDeviceTextEscaped) {
    struct Case {
        std::string datagram;
        DeviceLogLine shown;
    };
    const Case cases[] = {
        {"<11>Dec 11 08:43:34 h\x1b[31m t\x07[9\n]: a\x1b[2Jb\xff",
         {Severity::err, "t\\x07[9\\x0a]", "h\\x1b[31m", "a\\x1b[2Jb\\xff", false}},
        {"<13>1 - - app - - [x@1 k=\"\x1b\"] text", {Severity::notice, "app", "", "[x@1 k=\"\\x1b\"] text", false}},
        {"<13>1 - - app - - [x@1]", {Severity::notice, "app", "", "[x@1]", false}},
        {"plain\x0d", {std::nullopt, "", "", "plain", false}},
    };
    for (const auto& c : cases) EXPECT_EQ(deviceLogLine(parseSyslogMessage(c.datagram)), c.shown) << c.datagram;
}

}  // namespace
}  // namespace anvil
