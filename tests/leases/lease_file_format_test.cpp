// The plain reader that loads files as this program writes them must read every text exactly
// as the JSON parser it stands in for, or leave it to that parser.
#include "core/leases/lease_file_format.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "core/addressing/decoding_error.hpp"

namespace anvil {
namespace {

// Two leases (one with every optional text) and one quarantine entry, with `lease` as the second.
std::string document(const std::string& lease, const std::string& top = R"("version" : 1)") {
    return R"({
  "leases" : [
    {
      "clientID" : "01aabbcc001122",
      "expiresAt" : "2025-01-02T03:04:05Z",
      "firstSeen" : "2025-01-01T03:04:05Z",
      "hostname" : "camera-12",
      "ip" : "192.168.0.100",
      "lastSeen" : "2025-01-01T03:14:05Z",
      "mac" : "aa:bb:cc:00:11:22",
      "state" : "bound",
      "vendorClass" : "udhcp 1.36.1"
    },
    )" + lease +
           R"(
  ],
  "quarantine" : [
    {
      "ip" : "192.168.0.7",
      "reportedBy" : "aa:bb:cc:00:11:22",
      "until" : "2025-01-01T03:24:05Z"
    }
  ],
  )" + top +
           "\n}";
}

const std::string plainLease =
    R"({ "expiresAt" : "2025-01-02T03:04:05Z", "firstSeen" : "2025-01-01T03:04:05Z", "ip" : "192.168.0.101",)"
    R"( "lastSeen" : "2025-01-01T03:14:05Z", "mac" : "aa:bb:cc:00:11:33", "state" : "offered" })";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

template <typename Decode>
auto outcome(Decode decode) -> std::variant<decltype(decode()), std::string> {
    try {
        return decode();
    } catch (const DecodingError&) {
        return std::string("refused");
    }
}

TEST(LeaseFileFormat, plainReadingAgreesWithTheParser) {
    struct Case {
        const char* name;
        std::string lease;
        std::string top = R"("version" : 1)";
    } cases[] = {
        {"as written", plainLease},
        {"no spaces", R"({"expiresAt":"2025-01-02T03:04:05Z","firstSeen":"2025-01-01T03:04:05Z","ip":"192.168.0.101",)"
                      R"("lastSeen":"2025-01-01T03:14:05Z","mac":"aa:bb:cc:00:11:33","state":"offered"})"},
        {"tabs and returns", replaced(plainLease, R"( "ip" : )", "\t\r\n\"ip\"\t:\r\n")},
        {"a key twice",
         replaced(plainLease, R"("ip" : "192.168.0.101",)", R"("ip" : "192.168.0.9", "ip" : "192.168.0.101",)")},
        {"unknown text key", replaced(plainLease, R"("ip" :)", R"("note" : "x", "ip" :)")},
        {"unknown number key", replaced(plainLease, R"("ip" :)", R"("note" : 5, "ip" :)")},
        {"escaped hostname", replaced(plainLease, R"("ip" :)", R"("hostname" : "dev\u0041\"x", "ip" :)")},
        {"UTF-8 hostname", replaced(plainLease, R"("ip" :)", "\"hostname\" : \"caf\xC3\xA9\", \"ip\" :")},
        {"invalid UTF-8 hostname", replaced(plainLease, R"("ip" :)", "\"hostname\" : \"caf\xC3\", \"ip\" :")},
        {"null hostname", replaced(plainLease, R"("ip" :)", R"("hostname" : null, "ip" :)")},
        {"number hostname", replaced(plainLease, R"("ip" :)", R"("hostname" : 7, "ip" :)")},
        {"control byte", replaced(plainLease, R"("ip" :)", "\"hostname\" : \"a\x01\", \"ip\" :")},
        {"bootp true", replaced(plainLease, R"("ip" :)", R"("bootp" : true, "ip" :)")},
        {"bootp false", replaced(plainLease, R"("ip" :)", R"("bootp":false, "ip" :)")},
        {"bootp as text", replaced(plainLease, R"("ip" :)", R"("bootp" : "true", "ip" :)")},
        {"bootp null", replaced(plainLease, R"("ip" :)", R"("bootp" : null, "ip" :)")},
        {"bootp misspelt", replaced(plainLease, R"("ip" :)", R"("bootp" : truex, "ip" :)")},
        {"bare true elsewhere", replaced(plainLease, R"("ip" :)", R"("hostname" : true, "ip" :)")},
        {"unknown true key", replaced(plainLease, R"("ip" :)", R"("note" : true, "ip" :)")},
        {"missing lastSeen", replaced(plainLease, R"("lastSeen" : "2025-01-01T03:14:05Z",)", "")},
        {"bad address", replaced(plainLease, "192.168.0.101", "192.168.0.300")},
        {"bad state", replaced(plainLease, "offered", "lent")},
        {"bad date", replaced(plainLease, "2025-01-02T03:04:05Z", "tomorrow")},
        {"same client twice", replaced(plainLease, "aa:bb:cc:00:11:33", "aa:bb:cc:00:11:22")},
        {"not an object", R"("lease")"},
        {"unclosed", replaced(plainLease, " }", "")},
        {"version 2", plainLease, R"("version" : 2)"},
        {"version as text", plainLease, R"("version" : "1")"},
        {"version 1.0", plainLease, R"("version" : 1.0)"},
        {"version 01", plainLease, R"("version" : 01)"},
        {"version -1", plainLease, R"("version" : -1)"},
        {"version twice", plainLease, R"("version" : 2, "version" : 1)"},
        {"extra top key", plainLease, R"("version" : 1, "other" : [1, {"a" : null}])"},
        {"trailing text", plainLease, "\"version\" : 1 } x"},
        {"trailing comma", plainLease, R"("version" : 1,)"},
    };
    for (const auto& c : cases) {
        const auto text = document(c.lease, c.top);
        auto plain = outcome([&] { return LeaseFileFormat::decode(text); });
        auto parsed = outcome([&] { return LeaseFileFormat::decodeByParser(text); });
        EXPECT_EQ(plain, parsed) << c.name;
        // A journal record carries one lease object alone.
        auto record = outcome([&] { return LeaseFileFormat::decodeLease(c.lease); });
        auto alone = outcome([&] {
            return LeaseFileFormat::decodeByParser(R"({"leases" : [)" + c.lease +
                                                   R"(], "quarantine" : [], "version" : 1})")
                .leases()
                .at(0);
        });
        EXPECT_EQ(record, alone) << c.name;
    }
    // The plain reader takes the file as written, not only what it leaves to the parser.
    auto written = LeaseFileFormat::decode(document(plainLease));
    EXPECT_EQ(LeaseFileFormat::decode(LeaseFileFormat::encode(written)), written);
    EXPECT_EQ(written.size(), 2u);
    // A BOOTP lease is the only one that writes the key.
    auto leases = written.leases();
    leases[1].bootp = true;
    auto text = LeaseFileFormat::encode(LeaseTable(leases, {}));
    EXPECT_EQ(text.find("\"bootp\""), text.rfind("\"bootp\" : true"));
    EXPECT_EQ(LeaseFileFormat::decode(text).leases(), leases);
}

}  // namespace
}  // namespace anvil
