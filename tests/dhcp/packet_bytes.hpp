#pragma once
// A valid DISCOVER written byte by byte, so that parse tests do not lean on the serialiser.
#include <cstdint>
#include <initializer_list>

#include "core/addressing/bytes.hpp"

namespace anvil::testing {

// The fixed header and the cookie with a distinct value in every field, then the given option bytes.
inline Bytes discoverWithOptions(std::initializer_list<std::uint8_t> options) {
    Bytes bytes = {
        1,    1,    6,    2,     // op, htype, hlen, hops
        0x12, 0x34, 0x56, 0x78,  // xid
        0x01, 0x02,              // secs
        0x80, 0x00,              // flags
        10,   0,    0,    1,     // ciaddr
        10,   0,    0,    2,     // yiaddr
        10,   0,    0,    3,     // siaddr
        10,   0,    0,    4,     // giaddr
    };
    for (std::uint8_t i = 0; i < 16; ++i) bytes.push_back(static_cast<std::uint8_t>(0xA0 + i));  // chaddr
    bytes.resize(108, 'S');  // sname: junk that must be ignored
    bytes.resize(236, 'F');  // file
    bytes.insert(bytes.end(), {99, 130, 83, 99});
    bytes.insert(bytes.end(), options);
    return bytes;
}

inline Bytes validDiscover() { return discoverWithOptions({53, 1, 1, 12, 5, 'b', 'e', 'n', 'c', 'h', 255}); }

}  // namespace anvil::testing
