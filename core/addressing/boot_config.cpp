#include "core/addressing/boot_config.hpp"

namespace anvil {

std::string_view rawValue(BootKind kind) {
    switch (kind) {
        case BootKind::bios: return "bios";
        case BootKind::efiX64: return "efi-x64";
        case BootKind::efiArm64: return "efi-arm64";
        case BootKind::arm32: return "arm32";
        case BootKind::arm64: return "arm64";
        case BootKind::uboot: return "uboot";
        case BootKind::ipxe: return "ipxe";
        case BootKind::rpi: return "rpi";
    }
    return "bios";
}

std::optional<BootKind> bootKindFromRaw(std::string_view text) {
    for (auto kind : allBootKinds)
        if (rawValue(kind) == text) return kind;
    return std::nullopt;
}

std::optional<std::string> bootFileFor(const BootConfig& config, BootKind kind) {
    if (auto own = config.files.find(kind); own != config.files.end()) return own->second;
    return config.fileForAll;
}

}  // namespace anvil
