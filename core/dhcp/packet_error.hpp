#pragma once
// Why a datagram could not be read as a DHCP message; its text goes into the "dropped" report.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace anvil {

class PacketError : public std::runtime_error {
public:
    enum class Kind { tooShort, optionOverrun, badMagicCookie };

    static PacketError tooShort(std::size_t length) { return PacketError(Kind::tooShort, length, 0); }
    static PacketError optionOverrun(std::uint8_t code) { return PacketError(Kind::optionOverrun, 0, code); }
    static PacketError badMagicCookie() { return PacketError(Kind::badMagicCookie, 0, 0); }

    Kind kind() const { return kind_; }
    std::size_t length() const { return length_; }  // tooShort
    std::uint8_t code() const { return code_; }     // optionOverrun
    std::string description() const { return what(); }

    friend bool operator==(const PacketError& a, const PacketError& b) {
        return a.kind_ == b.kind_ && a.length_ == b.length_ && a.code_ == b.code_;
    }

private:
    PacketError(Kind kind, std::size_t length, std::uint8_t code)
        : std::runtime_error(text(kind, length, code)), kind_(kind), length_(length), code_(code) {}

    static std::string text(Kind kind, std::size_t length, std::uint8_t code);

    Kind kind_;
    std::size_t length_;
    std::uint8_t code_;
};

}  // namespace anvil
