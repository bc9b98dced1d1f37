#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "core/tftp/tftp_packet.hpp"

namespace anvil {
namespace {

using Kind = TFTPParseError::Kind;
using namespace std::string_view_literals;

Bytes bytesOf(std::initializer_list<std::uint8_t> head, std::string_view tail = {}) {
    Bytes bytes(head);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

TFTPParseResult parse(const Bytes& bytes) { return parseTFTPPacket(bytes.data(), bytes.size()); }

TEST(TFTPPacketParse, readsEveryKindOfPacket) {
    struct Case {
        std::string name;
        Bytes bytes;
        TFTPPacket expected;
    };
    const std::vector<Case> cases{
        {"plain RRQ", bytesOf({0, 1}, "pxelinux.0\0octet\0"sv),
         TFTPRequest{false, "pxelinux.0", "octet", {}}},
        {"mode any case, options lower-cased, order kept",
         bytesOf({0, 1}, "a\0NetASCII\0TSize\0000\0BLKSIZE\0001468\0"sv),
         TFTPRequest{false, "a", "netascii", {{"tsize", "0"}, {"blksize", "1468"}}}},
        {"repeated option: first wins",
         bytesOf({0, 1}, "f\0octet\0blksize\0" "512\0BlkSize\0" "1468\0"sv),
         TFTPRequest{false, "f", "octet", {{"blksize", "512"}}}},
        {"WRQ", bytesOf({0, 2}, "up\0mail\0"sv), TFTPRequest{true, "up", "mail", {}}},
        {"DATA", bytesOf({0, 3, 0xFF, 0xFE, 1, 2, 3}), TFTPData{0xFFFE, {1, 2, 3}}},
        {"empty DATA", bytesOf({0, 3, 0, 7}), TFTPData{7, {}}},
        {"ACK", bytesOf({0, 4, 0x12, 0x34}), TFTPAck{0x1234}},
        {"ACK with padding", bytesOf({0, 4, 0, 0, 0, 0, 0}), TFTPAck{0}},
        {"ERROR", bytesOf({0, 5, 0, 8}, "no\0"sv), TFTPError{8, "no"}},
        {"ERROR with unknown code", bytesOf({0, 5, 0x99, 0x99, 0}), TFTPError{0x9999, ""}},
        {"OACK", bytesOf({0, 6}, "blksize\0001024\0"sv), TFTPOptionAck{{{"blksize", "1024"}}}},
    };
    for (const auto& c : cases) {
        auto result = parse(c.bytes);
        ASSERT_TRUE(std::holds_alternative<TFTPPacket>(result)) << c.name << ": "
                                                                 << std::get<TFTPParseError>(result).description();
        EXPECT_EQ(std::get<TFTPPacket>(result), c.expected) << c.name;
    }
}

TEST(TFTPPacketParse, refusesHostileBytesWithTheirReason) {
    std::string longName(256, 'x');
    std::string longest(255, 'x');
    std::string manyOptions;
    for (int i = 0; i < 17; ++i) manyOptions += "o" + std::to_string(i) + std::string("\0001\0"sv);
    struct Case {
        std::string name;
        Bytes bytes;
        TFTPParseError expected;
    };
    const std::vector<Case> cases{
        {"nothing", {}, {Kind::tooShort}},
        {"one byte", {0}, {Kind::tooShort}},
        {"opcode 0", {0, 0, 1, 2}, {Kind::unknownOpcode, 0}},
        {"opcode 7", {0, 7}, {Kind::unknownOpcode, 7}},
        {"opcode 0x0100", {1, 0}, {Kind::unknownOpcode, 256}},
        {"RRQ with nothing", {0, 1}, {Kind::missingNul}},
        {"RRQ name without NUL", bytesOf({0, 1}, "file"), {Kind::missingNul}},
        {"RRQ mode without NUL", bytesOf({0, 1}, "f\0octet"sv), {Kind::missingNul}},
        {"RRQ without mode", bytesOf({0, 1}, "f\0"sv), {Kind::missingNul}},
        {"RRQ empty name", bytesOf({0, 1}, "\0octet\0"sv), {Kind::emptyFileName}},
        {"RRQ name 256 bytes", bytesOf({0, 1}, longName + std::string("\0octet\0"sv)), {Kind::fieldTooLong, 256}},
        {"RRQ bad mode", bytesOf({0, 1}, "f\0binary\0"sv), {Kind::badMode}},
        {"RRQ empty mode", bytesOf({0, 1}, "f\0\0"sv), {Kind::badMode}},
        {"RRQ mode with a trailing space", bytesOf({0, 1}, "f\0octet \0"sv), {Kind::badMode}},
        {"option name without NUL", bytesOf({0, 1}, "f\0octet\0blk"sv), {Kind::missingNul}},
        {"option without value", bytesOf({0, 1}, "f\0octet\0blksize\0"sv),
         {Kind::optionWithoutValue}},
        {"option value without NUL", bytesOf({0, 1}, "f\0octet\0blksize\0" "512"sv),
         {Kind::missingNul}},
        {"empty option name", bytesOf({0, 1}, "f\0octet\0\0001\0"sv), {Kind::emptyOptionName}},
        {"option value 256 bytes", bytesOf({0, 1}, std::string("f\0octet\0x\0"sv) + longName + '\0'),
         {Kind::fieldTooLong, 256}},
        {"17 options", bytesOf({0, 1}, std::string("f\0octet\0"sv) + manyOptions), {Kind::tooManyOptions, 17}},
        {"DATA without block", {0, 3, 0}, {Kind::tooShort}},
        {"DATA over 65464 bytes", bytesOf({0, 3, 0, 1}, std::string(65465, 'd')), {Kind::fieldTooLong, 65465}},
        {"ACK without block", {0, 4, 1}, {Kind::tooShort}},
        {"ERROR without code", {0, 5, 0}, {Kind::tooShort}},
        {"ERROR message without NUL", bytesOf({0, 5, 0, 1}, "oops"), {Kind::missingNul}},
        {"ERROR without message", {0, 5, 0, 1}, {Kind::missingNul}},
        {"ERROR message 513 bytes", bytesOf({0, 5, 0, 1}, std::string(513, 'm') + '\0'), {Kind::fieldTooLong, 513}},
        {"OACK option without value", bytesOf({0, 6}, "tsize\0"sv), {Kind::optionWithoutValue}},
    };
    for (const auto& c : cases) {
        auto result = parse(c.bytes);
        ASSERT_TRUE(std::holds_alternative<TFTPParseError>(result)) << c.name;
        EXPECT_EQ(std::get<TFTPParseError>(result), c.expected) << c.name;
        EXPECT_FALSE(std::get<TFTPParseError>(result).description().empty()) << c.name;
    }
    // At the bounds rather than over them.
    auto longestName = parse(bytesOf({0, 1}, longest + std::string("\0octet\0"sv)));
    EXPECT_TRUE(std::holds_alternative<TFTPPacket>(longestName));
    auto sixteenOptions = std::string("f\0octet\0"sv) + manyOptions.substr(0, manyOptions.rfind('o'));
    EXPECT_TRUE(std::holds_alternative<TFTPPacket>(parse(bytesOf({0, 1}, sixteenOptions))));
    EXPECT_TRUE(std::holds_alternative<TFTPPacket>(parse(bytesOf({0, 3, 0, 1}, std::string(65464, 'd')))));
}

TEST(TFTPPacketEncode, writesTheBytesClientsExpectAndParsesBack) {
    struct Case {
        std::string name;
        Bytes bytes;
        Bytes expected;
    };
    const Bytes payload{9, 8, 7};
    const std::vector<Case> cases{
        {"DATA", encodeTFTPData(0x0102, payload), {0, 3, 1, 2, 9, 8, 7}},
        {"empty DATA", encodeTFTPData(0, {}), {0, 3, 0, 0}},
        {"ACK", encodeTFTPAck(65535), {0, 4, 0xFF, 0xFF}},
        {"OACK", encodeTFTPOptionAck({{"tsize", "5"}}), bytesOf({0, 6}, "tsize\0005\0"sv)},
        {"ERROR", encodeTFTPError(TFTPErrorCode::fileNotFound, "File not found"),
         bytesOf({0, 5, 0, 1}, "File not found\0"sv)},
        {"ERROR drops NUL from its message", encodeTFTPError(TFTPErrorCode::notDefined, "a\0b"sv),
         bytesOf({0, 5, 0, 0}, "ab\0"sv)},
        {"RRQ", encodeTFTPReadRequest("f", "octet", {{"blksize", "8"}}),
         bytesOf({0, 1}, "f\0octet\0blksize\08\0"sv)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.bytes, c.expected) << c.name;
        auto parsed = parse(c.bytes);
        ASSERT_TRUE(std::holds_alternative<TFTPPacket>(parsed)) << c.name;
        EXPECT_EQ(encodeTFTPPacket(std::get<TFTPPacket>(parsed)), c.bytes) << c.name;
    }
    auto longError = encodeTFTPError(TFTPErrorCode::notDefined, std::string(2000, 'm'));
    EXPECT_EQ(longError.size(), 4 + maximumTFTPErrorMessageLength + 1);
    EXPECT_TRUE(std::holds_alternative<TFTPPacket>(parse(longError)));
}

}  // namespace
}  // namespace anvil
