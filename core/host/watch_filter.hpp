#pragma once
// The kernel filter of a cable watch's packet socket: ARP, LLDP, and unfragmented IPv4 UDP to
// port 69, each cut to one full Ethernet frame; every other frame is dropped before it is queued.
// Header-only and standard-library-only, as dhcpanvil-helper includes it and links nothing of ours.
#include <linux/filter.h>

#include <array>
#include <cstdint>

namespace anvil::WatchFilter {

// The longest frame kept: 1500 bytes of payload, the Ethernet header and a VLAN tag.
inline constexpr std::uint32_t snapLength = 1518;

inline constexpr std::uint16_t arpType = 0x0806;
inline constexpr std::uint16_t lldpType = 0x88cc;
inline constexpr std::uint16_t ipv4Type = 0x0800;

// Offsets into the Ethernet frame. The IPv4 header's length is read from the frame, so that
// options cannot move the UDP port past the check.
inline constexpr std::array<sock_filter, 13> program{{
    /* 0 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),                   // ethertype
    /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arpType, 9, 0),       // -> 11
    /* 2 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, lldpType, 8, 0),      // -> 11
    /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ipv4Type, 0, 8),      // else -> 12
    /* 4 */ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 14 + 9),               // IPv4 protocol
    /* 5 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 17, 0, 6),            // UDP, else -> 12
    /* 6 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 14 + 6),               // flags and fragment offset
    /* 7 */ BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3fff, 4, 0),       // more fragments or a later one -> 12
    /* 8 */ BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 14),                  // X = IPv4 header length
    /* 9 */ BPF_STMT(BPF_LD | BPF_H | BPF_IND, 14 + 2),               // UDP destination port
    /* 10 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 69, 0, 1),           // else -> 12
    /* 11 */ BPF_STMT(BPF_RET | BPF_K, snapLength),
    /* 12 */ BPF_STMT(BPF_RET | BPF_K, 0),
}};

// The form SO_ATTACH_FILTER takes; the kernel copies the program and never writes to it.
inline sock_fprog attachable() {
    return sock_fprog{static_cast<unsigned short>(program.size()), const_cast<sock_filter*>(program.data())};
}

}  // namespace anvil::WatchFilter
