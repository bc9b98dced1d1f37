#pragma once
// The kernel filter of a cable watch's packet socket: untagged ARP, LLDP, and unfragmented IPv4
// UDP to port 69, each cut to one full Ethernet frame; every other frame is dropped before it is queued.
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

// The kernel takes a VLAN tag off into the frame's metadata before a packet socket sees it: such a
// frame belongs to another network than the bench's and is dropped by that mark.
inline constexpr std::uint32_t vlanTagPresent = static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT);

// Offsets into the Ethernet frame. The IPv4 header's length is read from the frame, so that
// options cannot move the UDP port past the check; under 5 words it is no header at all.
inline constexpr std::array<sock_filter, 17> program{{
    /* 0 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, vlanTagPresent),
    /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 14),            // tagged -> 16
    /* 2 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),                   // ethertype
    /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arpType, 11, 0),      // -> 15
    /* 4 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, lldpType, 10, 0),     // -> 15
    /* 5 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ipv4Type, 0, 10),     // else -> 16
    /* 6 */ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 14 + 9),               // IPv4 protocol
    /* 7 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 17, 0, 8),            // UDP, else -> 16
    /* 8 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 14 + 6),               // flags and fragment offset
    /* 9 */ BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3fff, 6, 0),       // more fragments or a later one -> 16
    /* 10 */ BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 14),                 // X = IPv4 header length
    /* 11 */ BPF_STMT(BPF_MISC | BPF_TXA, 0),
    /* 12 */ BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 20, 0, 3),           // under 20 bytes -> 16
    /* 13 */ BPF_STMT(BPF_LD | BPF_H | BPF_IND, 14 + 2),              // UDP destination port
    /* 14 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 69, 0, 1),           // else -> 16
    /* 15 */ BPF_STMT(BPF_RET | BPF_K, snapLength),
    /* 16 */ BPF_STMT(BPF_RET | BPF_K, 0),
}};

// The form SO_ATTACH_FILTER takes; the kernel copies the program and never writes to it.
inline sock_fprog attachable() {
    return sock_fprog{static_cast<unsigned short>(program.size()), const_cast<sock_filter*>(program.data())};
}

}  // namespace anvil::WatchFilter
