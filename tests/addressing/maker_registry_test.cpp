#include "core/addressing/maker_registry.hpp"

#include <gtest/gtest.h>

namespace anvil {
namespace {

// Rows as IEEE writes them: CRLF line ends, quoted fields holding commas, doubled quotes and line
// breaks, and a 28-bit and a 36-bit block carved out of a 24-bit one.
constexpr std::string_view largeBlocks =
    "Registry,Assignment,Organization Name,Organization Address\r\n"
    "MA-L,DCA632,Raspberry Pi Trading Ltd,\"Maurice Wilkes Building, Cowley Road Cambridge  GB CB4 0DS \"\r\n"
    "MA-L,001EFC,\"JSC \"\"MASSA-K\"\"\",\"15, A, Pirogovskaya nab.\r\nSaint-Petersburg RU 194044 \"\r\n"
    "MA-L,70B3D5,IEEE Registration Authority,445 Hoes Lane Piscataway NJ US 08554 \r\n"
    "MA-L,ZZZZZZ,Not An Assignment,\r\n"
    "MA-L,0050C3,,no name\r\n"
    "MA-L,001B63,\"  Apple, Inc.  \",1 Infinite Loop Cupertino CA US 95014 \r\n";
constexpr std::string_view mediumBlocks =
    "Registry,Assignment,Organization Name,Organization Address\n"
    "MA-M,70B3D51,Medium Maker,Somewhere\n";
constexpr std::string_view smallBlocks =
    "Registry,Assignment,Organization Name,Organization Address\n"
    "MA-S,70B3D5F2F,TELEPLATFORMS,\"Polbina st., 3/1 Moscow  RU 109388 \"";

TEST(MakerRegistry, FindsTheMakerOfTheLongestAssignedPrefix) {
    auto registry = MakerRegistry::fromCSV({largeBlocks, mediumBlocks, smallBlocks});
    EXPECT_EQ(registry.size(), 6u);
    struct Case {
        const char* mac;
        std::optional<std::string> maker;
    };
    const Case cases[] = {
        {"dc:a6:32:01:02:03", "Raspberry Pi Trading Ltd"},
        {"00:1e:fc:00:00:01", "JSC \"MASSA-K\""},
        {"00:1b:63:aa:bb:cc", "Apple, Inc."},
        {"70:b3:d5:f2:f0:01", "TELEPLATFORMS"},
        {"70:b3:d5:f3:00:01", "IEEE Registration Authority"},
        {"70:b3:d5:1a:bc:de", "Medium Maker"},
        {"00:50:c3:00:00:01", std::nullopt},  // a row without a name
        {"00:00:01:00:00:01", std::nullopt},
        {"de:a6:32:01:02:03", "locally administered"},
        {"02:00:00:00:00:01", "locally administered"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mac);
        EXPECT_EQ(makerOf(*MACAddress::parse(c.mac), registry), c.maker);
    }
    // Without the registry only the locally administered bit can be read.
    EXPECT_EQ(makerOf(*MACAddress::parse("dc:a6:32:01:02:03"), MakerRegistry{}), std::nullopt);
    EXPECT_EQ(makerOf(*MACAddress::parse("02:00:00:00:00:01"), MakerRegistry{}), "locally administered");
}

}  // namespace
}  // namespace anvil
