#include "core/dhcp/packet_error.hpp"

namespace anvil {

std::string PacketError::text(Kind kind, std::size_t length, std::uint8_t code) {
    switch (kind) {
        case Kind::tooShort: return "too short (" + std::to_string(length) + " bytes)";
        case Kind::optionOverrun: return "option " + std::to_string(code) + " runs past the end";
        case Kind::badMagicCookie: return "bad magic cookie";
    }
    return "unreadable packet";
}

}  // namespace anvil
