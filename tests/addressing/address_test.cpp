#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <unordered_set>

#include "core/addressing/address_json.hpp"
#include "core/addressing/decoding_error.hpp"
#include "core/addressing/subnet.hpp"

using namespace anvil;

TEST(IPv4Address, ParsesOnlyStrictDottedQuads) {
    EXPECT_EQ(IPv4Address::parse("192.168.0.1"), (IPv4Address{192, 168, 0, 1}));
    EXPECT_EQ(IPv4Address::parse("192.168.0.1")->value, 0xC0A80001u);
    EXPECT_EQ(IPv4Address::parse("010.001.000.009")->description(), "10.1.0.9");
    EXPECT_EQ(IPv4Address::parse("255.255.255.255"), IPv4Address::broadcast);
    for (const char* text : {"192.168.0", "1.2.3.4.5", "1..2.3", "256.1.1.1", "1.2.3.1000", " 1.2.3.4", "1.2.3.4 ",
                             "+1.2.3.4", "1.2.3.-4", "", "a.b.c.d", "1.2.3.", "\xd9\xa1.2.3.4"}) {
        EXPECT_EQ(IPv4Address::parse(text), std::nullopt) << text;
    }
}

TEST(IPv4Address, OrdersAsUnsignedNumbersAndConvertsBytes) {
    EXPECT_LT(*IPv4Address::parse("10.0.0.255"), *IPv4Address::parse("10.0.1.0"));
    EXPECT_LT(*IPv4Address::parse("127.255.255.255"), *IPv4Address::parse("128.0.0.0"));
    EXPECT_EQ(IPv4Address(10, 1, 2, 3).bytes(), (Bytes{10, 1, 2, 3}));
    Bytes three{1, 2, 3}, five{1, 2, 3, 4, 5}, four{1, 2, 3, 4};
    EXPECT_EQ(IPv4Address::fromBytes(three), std::nullopt);
    EXPECT_EQ(IPv4Address::fromBytes(five), std::nullopt);
    EXPECT_EQ(IPv4Address::fromBytes(four), (IPv4Address{1, 2, 3, 4}));
    EXPECT_EQ(IPv4Address::zero.description(), "0.0.0.0");
    EXPECT_EQ(IPv4Address::loopback.description(), "127.0.0.1");
    EXPECT_EQ(IPv4Address(255, 100, 109, 10).description(), "255.100.109.10");
    EXPECT_TRUE(IPv4Address(169, 254, 3, 4).isLinkLocal());
    EXPECT_FALSE(IPv4Address(169, 253, 255, 255).isLinkLocal());
    EXPECT_FALSE(IPv4Address(169, 255, 0, 0).isLinkLocal());
}

TEST(MACAddress, ParsesColonSeparatedPairsAndPrintsLowerCase) {
    auto mac = MACAddress::parse("AA:bb:0C:dd:EE:ff");
    ASSERT_TRUE(mac);
    EXPECT_EQ(mac->description(), "aa:bb:0c:dd:ee:ff");
    for (const char* text : {"aa-bb-cc-dd-ee-ff", "a:b:c:d:e:f", "aa:bb:cc:dd:ee", "aa:bb:cc:dd:ee:ff:00",
                             "aa:bb:cc:dd:ee:fg", "aa:bb:cc:dd:ee:", "aa.bb.cc.dd.ee.ff", ""}) {
        EXPECT_EQ(MACAddress::parse(text), std::nullopt) << text;
    }
    Bytes five{1, 2, 3, 4, 5}, seven{1, 2, 3, 4, 5, 6, 7}, six{0, 1, 2, 3, 4, 255};
    EXPECT_EQ(MACAddress::fromBytes(five), std::nullopt);
    EXPECT_EQ(MACAddress::fromBytes(seven), std::nullopt);
    EXPECT_EQ(MACAddress::fromBytes(six)->description(), "00:01:02:03:04:ff");
}

TEST(Subnet, ParsesCIDRKeepingTheHostAddress) {
    auto subnet = Subnet::parse("10.0.0.7/24");
    ASSERT_TRUE(subnet);
    EXPECT_EQ(subnet->address, (IPv4Address{10, 0, 0, 7}));
    EXPECT_EQ(subnet->network(), (IPv4Address{10, 0, 0, 0}));
    EXPECT_EQ(subnet->broadcast(), (IPv4Address{10, 0, 0, 255}));
    EXPECT_EQ(subnet->description(), "10.0.0.0/24");
    EXPECT_EQ(Subnet::parse("10.0.0.7//24"), subnet);
    EXPECT_EQ(Subnet::parse("/10.0.0.7/24/"), subnet);
    EXPECT_EQ(Subnet::parse("10.0.0.7/+24"), subnet);
    for (const char* text : {"10.0.0.7/33", "10.0.0.7/-1", "10.0.0.7", "10.0.0.7/", "/24", "10.0.0.7/24/8",
                             "10.0.0.7/ 24", "10.0.0.7/24x", "10.0.0.7/99999999999999999999"}) {
        EXPECT_EQ(Subnet::parse(text), std::nullopt) << text;
    }
    EXPECT_EQ(Subnet::make(IPv4Address::zero, 33), std::nullopt);
    EXPECT_EQ(Subnet::make(IPv4Address::zero, -1), std::nullopt);
    EXPECT_NE(Subnet::parse("10.0.0.1/24"), Subnet::parse("10.0.0.2/24"));
}

TEST(Subnet, DerivesMaskNetworkAndBroadcastAtTheExtremes) {
    Subnet host{IPv4Address{10, 1, 2, 3}, 32};
    EXPECT_EQ(host.mask(), IPv4Address::broadcast);
    EXPECT_EQ(host.network(), host.address);
    EXPECT_EQ(host.broadcast(), host.address);
    Subnet everything{IPv4Address{10, 1, 2, 3}, 0};
    EXPECT_EQ(everything.mask(), IPv4Address::zero);
    EXPECT_EQ(everything.broadcast(), IPv4Address::broadcast);
    EXPECT_TRUE(everything.contains(IPv4Address{200, 1, 1, 1}));
    EXPECT_TRUE(everything.overlaps(*Subnet::parse("192.168.0.0/24")));
    EXPECT_TRUE(Subnet::parse("192.168.0.0/24")->overlaps(*Subnet::parse("192.168.0.128/25")));
    EXPECT_TRUE(Subnet::parse("192.168.0.128/25")->overlaps(*Subnet::parse("192.168.0.0/24")));
    EXPECT_FALSE(Subnet::parse("192.168.0.0/24")->overlaps(*Subnet::parse("192.168.1.0/24")));
}

TEST(Subnet, FindsThePrefixOfContiguousMasksOnly) {
    EXPECT_EQ(Subnet::prefixLengthOfMask(IPv4Address::zero), 0);
    EXPECT_EQ(Subnet::prefixLengthOfMask(IPv4Address{255, 255, 255, 0}), 24);
    EXPECT_EQ(Subnet::prefixLengthOfMask(IPv4Address::broadcast), 32);
    EXPECT_EQ(Subnet::prefixLengthOfMask(IPv4Address{128, 0, 0, 0}), 1);
    EXPECT_EQ(Subnet::prefixLengthOfMask(IPv4Address{255, 255, 0, 255}), std::nullopt);
    EXPECT_EQ(Subnet::prefixLengthOfMask(IPv4Address{0, 0, 0, 1}), std::nullopt);
}

TEST(AddressValues, AreUsableAsHashKeys) {
    std::unordered_set<IPv4Address> ips{IPv4Address{1, 2, 3, 4}, IPv4Address{1, 2, 3, 4}};
    std::unordered_set<MACAddress> macs{*MACAddress::parse("aa:bb:cc:dd:ee:ff"),
                                        *MACAddress::parse("AA:BB:CC:DD:EE:FF")};
    std::unordered_set<Subnet> subnets{*Subnet::parse("10.0.0.1/24"), *Subnet::parse("10.0.0.2/24")};
    EXPECT_EQ(ips.size(), 1u);
    EXPECT_EQ(macs.size(), 1u);
    EXPECT_EQ(subnets.size(), 2u);
}

TEST(AddressJSON, StoresCanonicalTextAndRejectsOtherText) {
    nlohmann::json json = IPv4Address{10, 0, 0, 9};
    EXPECT_EQ(json.dump(), "\"10.0.0.9\"");
    json = *MACAddress::parse("AA:BB:CC:00:11:22");
    EXPECT_EQ(json.dump(), "\"aa:bb:cc:00:11:22\"");
    EXPECT_EQ(nlohmann::json("010.0.0.9").get<IPv4Address>(), (IPv4Address{10, 0, 0, 9}));

    try {
        (void)nlohmann::json("1.2.3").get<IPv4Address>();
        FAIL() << "decoded a bad address";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.description(), "Not an IPv4 address: 1.2.3");
    }
    try {
        (void)nlohmann::json("aa-bb").get<MACAddress>();
        FAIL() << "decoded a bad hardware address";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.description(), "Not a MAC address: aa-bb");
    }
    EXPECT_THROW((void)nlohmann::json(12).get<IPv4Address>(), DecodingError);
}

TEST(BigEndianBytes, PutsTheMostSignificantByteFirst) {
    EXPECT_EQ(bigEndianBytes(std::uint16_t{0x1234}), (Bytes{0x12, 0x34}));
    EXPECT_EQ(bigEndianBytes(std::uint32_t{0x0A0B0C0D}), (Bytes{0x0A, 0x0B, 0x0C, 0x0D}));
}
