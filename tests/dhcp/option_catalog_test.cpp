#include "core/dhcp/option_catalog.hpp"

#include <gtest/gtest.h>

namespace anvil {
namespace {

TEST(OptionCatalog, RendersEachKindOfOptionForPeople) {
    struct Case {
        std::uint8_t code;
        Bytes data;
        const char* name;
        const char* value;
    };
    const Case cases[] = {
        {1, {255, 255, 255, 0}, "Subnet Mask", "255.255.255.0"},
        {3, {192, 168, 0, 1, 192, 168, 0, 2}, "Router", "192.168.0.1, 192.168.0.2"},
        {6, {10, 0, 0}, "Domain Name Server", "0a 00 00"},  // not a whole address: hexadecimal
        {2, {0xFF, 0xFF, 0xB9, 0xB0}, "Time Offset", "-5 h"},
        {51, {0, 1, 0x51, 0x80}, "IP Address Lease Time", "24 h"},
        {51, {0xFF, 0xFF, 0xFF, 0xFF}, "IP Address Lease Time", "infinite"},
        {12, {'c', 'a', 'm', 0x07}, "Host Name", "cam\\x07"},
        {26, {0x05, 0xDC}, "Interface MTU", "1500"},
        {19, {1}, "IP Forwarding", "on"},
        {53, {3}, "DHCP Message Type", "REQUEST"},
        {53, {9}, "DHCP Message Type", "09"},
        {55, {1, 3, 6, 15, 119, 224}, "Parameter Request List",
         "Subnet Mask, Router, Domain Name Server, Domain Name, Domain Search, Option 224"},
        {61, {1, 0xdc, 0xa6, 0x32, 1, 2, 3}, "Client Identifier", "Ethernet dc:a6:32:01:02:03"},
        {61, {255, 0, 0, 0, 1, 0, 4}, "Client Identifier", "IAID and DUID 00:00:00:01:00:04"},
        {81, {0x01, 0, 0, 'p', 'c'}, "Client FQDN", "flags S, name pc"},
        {81, {0x05, 0, 0, 3, 'p', 'c', '1', 3, 'l', 'a', 'b', 0}, "Client FQDN", "flags S,E, name pc1.lab"},
        {81, {0x04, 0, 0, 9, 'x'}, "Client FQDN", "04 00 00 09 78"},  // a label past the end
        {93, {0, 7}, "Client System Architecture", "x64 UEFI"},
        {93, {0, 0, 0, 11, 0x12, 0x34}, "Client System Architecture", "x86 BIOS, ARM 64-bit UEFI, architecture 4660"},
        {80, {}, "Rapid Commit", "yes"},
        {224, {0xde, 0xad}, "Option 224", "de ad"},
        {43, {0x01, 0x04}, "Vendor Specific Information", "01 04"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto option = OptionCatalog::render({c.code, c.data});
        EXPECT_EQ(option, (RenderedOption{c.code, c.name, c.value}));
    }
}

}  // namespace
}  // namespace anvil
