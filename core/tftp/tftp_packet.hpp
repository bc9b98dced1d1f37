#pragma once
// TFTP datagrams (RFC 1350, options RFC 2347-2349 and 7440): what a datagram says, read field by
// field, and the bytes of the ones this server and its test clients send.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/addressing/bytes.hpp"

namespace anvil {

enum class TFTPOpcode : std::uint16_t {
    readRequest = 1,
    writeRequest = 2,
    data = 3,
    ack = 4,
    error = 5,
    optionAck = 6,
};

// RFC 1350 section 5 and RFC 2347 (8).
enum class TFTPErrorCode : std::uint16_t {
    notDefined = 0,
    fileNotFound = 1,
    accessViolation = 2,
    diskFull = 3,
    illegalOperation = 4,
    unknownTransferID = 5,
    fileExists = 6,
    noSuchUser = 7,
    optionsRefused = 8,
};

// Option names are lower-cased when read; values are kept as sent.
struct TFTPOption {
    std::string name;
    std::string value;
    friend bool operator==(const TFTPOption&, const TFTPOption&) = default;
};
using TFTPOptions = std::vector<TFTPOption>;

// RRQ or WRQ. The mode is lower-cased and one of "netascii", "octet", "mail"; options keep the
// client's order, and of a repeated name only the first is kept.
struct TFTPRequest {
    bool write = false;
    std::string fileName;
    std::string mode;
    TFTPOptions options;
    friend bool operator==(const TFTPRequest&, const TFTPRequest&) = default;
};

struct TFTPData {
    std::uint16_t block = 0;
    Bytes payload;
    friend bool operator==(const TFTPData&, const TFTPData&) = default;
};

struct TFTPAck {
    std::uint16_t block = 0;
    friend bool operator==(const TFTPAck&, const TFTPAck&) = default;
};

// The code is kept as sent, known or not.
struct TFTPError {
    std::uint16_t code = 0;
    std::string message;
    friend bool operator==(const TFTPError&, const TFTPError&) = default;
};

struct TFTPOptionAck {
    TFTPOptions options;
    friend bool operator==(const TFTPOptionAck&, const TFTPOptionAck&) = default;
};

using TFTPPacket = std::variant<TFTPRequest, TFTPData, TFTPAck, TFTPError, TFTPOptionAck>;

// Bounds on what a datagram may carry, so that no client grows our memory with one.
inline constexpr std::size_t maximumTFTPFileNameLength = 255;
inline constexpr std::size_t maximumTFTPOptionFieldLength = 255;  // a name or a value
inline constexpr std::size_t maximumTFTPOptions = 16;
inline constexpr std::size_t maximumTFTPErrorMessageLength = 512;
inline constexpr std::size_t maximumTFTPDataLength = 65464;

struct TFTPParseError {
    enum class Kind {
        tooShort,        // fewer bytes than the opcode's fixed fields
        unknownOpcode,   // value: the opcode
        missingNul,      // a string runs to the end of the datagram
        emptyFileName,
        fieldTooLong,    // value: the field's length
        tooManyOptions,  // more than maximumTFTPOptions distinct names
        badMode,         // not netascii, octet or mail
        optionWithoutValue,
        emptyOptionName,
    };
    Kind kind = Kind::tooShort;
    std::size_t value = 0;

    // A short English reason for a "dropped" report.
    std::string description() const;
    friend bool operator==(const TFTPParseError&, const TFTPParseError&) = default;
};

using TFTPParseResult = std::variant<TFTPPacket, TFTPParseError>;

// Never throws; every malformed datagram is a TFTPParseError.
TFTPParseResult parseTFTPPacket(const std::uint8_t* data, std::size_t size);

// The server's datagrams.
Bytes encodeTFTPData(std::uint16_t block, std::span<const std::uint8_t> payload);
Bytes encodeTFTPOptionAck(const TFTPOptions& options);
// The message is cut to maximumTFTPErrorMessageLength and any NUL in it dropped.
Bytes encodeTFTPError(TFTPErrorCode code, std::string_view message);

// A client's datagrams, for tests, benchmarks and the fuzzer.
Bytes encodeTFTPReadRequest(std::string_view fileName, std::string_view mode, const TFTPOptions& options = {});
Bytes encodeTFTPAck(std::uint16_t block);

// Any packet, as the parser would read it back (strings are written as they are held).
Bytes encodeTFTPPacket(const TFTPPacket& packet);

}  // namespace anvil
