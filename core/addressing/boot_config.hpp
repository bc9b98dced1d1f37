#pragma once
// Network boot: which boot file each kind of boot client is told to load, and the folder the TFTP
// server serves read-only. Off unless a folder is set.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace anvil {

// What a boot client is, as far as its DHCP request tells.
enum class BootKind {
    bios,      // PXE ROM of a PC's BIOS (option 93 = 0)
    efiX64,    // UEFI on x86-64 (option 93 = 7 or 9)
    efiArm64,  // UEFI on ARM64 (option 93 = 11)
    arm32,     // other 32-bit ARM boot firmware (option 93 = 0x15)
    arm64,     // other 64-bit ARM boot firmware (option 93 = 0x16)
    uboot,     // U-Boot (vendor class "U-Boot…")
    ipxe,      // an iPXE that is already running (user class "iPXE")
    rpi,       // Raspberry Pi network boot
};

inline constexpr std::array<BootKind, 8> allBootKinds{
    BootKind::bios, BootKind::efiX64, BootKind::efiArm64, BootKind::arm32,
    BootKind::arm64, BootKind::uboot, BootKind::ipxe, BootKind::rpi,
};

// The name users type and files store: "bios", "efi-x64", "efi-arm64", "arm32", "arm64", "uboot",
// "ipxe", "rpi".
std::string_view rawValue(BootKind kind);
// Nothing unless the text is exactly one of the names.
std::optional<BootKind> bootKindFromRaw(std::string_view text);

struct BootConfig {
    // The folder served read-only over TFTP; an absolute path.
    std::string folder;
    // One boot file for every kind without a name of its own.
    std::optional<std::string> fileForAll;
    std::map<BootKind, std::string> files;
    // The largest TFTP block size a client may negotiate: 1468 keeps a block in one Ethernet frame,
    // which some boot ROMs need.
    std::uint16_t blockSizeCeiling = 1468;

    friend bool operator==(const BootConfig&, const BootConfig&) = default;
};

inline constexpr std::uint16_t defaultBlockSizeCeiling = 1468;

// The kind's own name, else the name for all, else nothing (the client names its file itself).
std::optional<std::string> bootFileFor(const BootConfig& config, BootKind kind);

}  // namespace anvil
