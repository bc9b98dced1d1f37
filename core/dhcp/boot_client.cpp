#include "core/dhcp/boot_client.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/dhcp/option_code.hpp"

namespace anvil {

namespace {

// The longest piece of a client's vendor class quoted back to the user.
constexpr std::size_t quotedLimit = 64;

// The class a Raspberry Pi's boot firmware sends; a PC's PXE ROM may send it too, so the Pi is told
// apart by its maker's hardware address prefixes.
constexpr std::string_view piVendorClass = "PXEClient:Arch:00000:UNDI:002001";
constexpr std::array<std::array<std::uint8_t, 3>, 6> piPrefixes{{
    {0xb8, 0x27, 0xeb},
    {0xdc, 0xa6, 0x32},
    {0xe4, 0x5f, 0x01},
    {0x28, 0xcd, 0xc1},
    {0xd8, 0x3a, 0xdd},
    {0x2c, 0xcf, 0x67},
}};

struct Architecture {
    std::uint16_t code;
    BootKind kind;
};

// RFC 4578 / IANA processor architecture types with a kind of their own.
constexpr Architecture architectures[] = {
    {0x00, BootKind::bios},  {0x07, BootKind::efiX64}, {0x09, BootKind::efiX64},
    {0x0B, BootKind::efiArm64}, {0x15, BootKind::arm32}, {0x16, BootKind::arm64},
};

std::optional<BootKind> kindOfArchitecture(std::uint16_t code) {
    for (const auto& entry : architectures)
        if (entry.code == code) return entry.kind;
    return std::nullopt;
}

std::string_view asText(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(text[i]) != lower(prefix[i])) return false;
    return true;
}

// The first code of option 93; a list of another length than a whole number of codes says nothing.
std::optional<std::uint16_t> firstArchitecture(const DHCPPacket& request) {
    auto data = request.option(OptionCode::clientArchitecture);
    if (!data || data->empty() || data->size() % 2 != 0) return std::nullopt;
    return static_cast<std::uint16_t>(((*data)[0] << 8) | (*data)[1]);
}

// "PXEClient:Arch:00007:…" or "HTTPClient:Arch:00016": exactly five decimal digits after the colon.
std::optional<std::uint16_t> architectureInClass(std::string_view vendorClass) {
    for (std::string_view prefix : {"PXEClient:Arch:", "HTTPClient:Arch:"}) {
        if (!vendorClass.starts_with(prefix)) continue;
        auto digits = vendorClass.substr(prefix.size(), 5);
        if (digits.size() != 5 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        unsigned value = 0;
        std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (value > 0xFFFF) return std::nullopt;
        return static_cast<std::uint16_t>(value);
    }
    return std::nullopt;
}

bool isPi(const DHCPPacket& request, std::string_view vendorClass) {
    if (vendorClass != piVendorClass) return false;
    auto mac = request.mac();
    if (!mac) return false;
    return std::any_of(piPrefixes.begin(), piPrefixes.end(),
                       [&](const auto& prefix) { return std::equal(prefix.begin(), prefix.end(), mac->bytes.begin()); });
}

bool asksFor(const Bytes& list, std::uint8_t code) { return std::find(list.begin(), list.end(), code) != list.end(); }

std::string quotedClass(const Bytes& vendorClass) {
    return "vendor class " + DHCPPacket::printable(vendorClass, quotedLimit);
}

}  // namespace

std::optional<BootClient> classifyBootClient(const DHCPPacket& request) {
    auto vendorBytes = request.option(OptionCode::vendorClass).value_or(Bytes{});
    auto vendorClass = asText(vendorBytes);
    auto asked = request.option(OptionCode::parameterList).value_or(Bytes{});
    bool asksBootFile = asksFor(asked, OptionCode::bootfileName);
    bool asksBootServer = asksFor(asked, OptionCode::tftpServerName);
    bool sendsArchitecture = request.option(OptionCode::clientArchitecture).has_value();
    bool isPXE = vendorClass.starts_with("PXEClient");
    bool isUBoot = startsWithIgnoringCase(vendorClass, "U-Boot");
    bool isHTTP = vendorClass.starts_with("HTTPClient");
    if (!asksBootFile && !asksBootServer && !sendsArchitecture && !isPXE && !isUBoot && !isHTTP) return std::nullopt;

    auto client = [isPXE](std::optional<BootKind> kind, std::string reason) {
        return BootClient{kind, std::move(reason), isPXE};
    };
    // A running iPXE still reports the ROM's architecture: told apart first, it is never handed the
    // ROM's file again, which would load iPXE over and over.
    if (auto user = request.option(OptionCode::userClass); user && asText(*user).find("iPXE") != std::string_view::npos)
        return client(BootKind::ipxe, "user class iPXE");
    if (isUBoot) return client(BootKind::uboot, quotedClass(vendorBytes));
    if (isPi(request, vendorClass)) return client(BootKind::rpi, "Raspberry Pi " + request.mac()->description());
    if (auto code = firstArchitecture(request))
        return client(kindOfArchitecture(*code), "option 93 = " + std::to_string(*code));
    if (auto code = architectureInClass(vendorClass)) return client(kindOfArchitecture(*code), quotedClass(vendorBytes));
    if (isPXE) return client(BootKind::bios, quotedClass(vendorBytes));
    if (isHTTP) return client(std::nullopt, quotedClass(vendorBytes));
    if (sendsArchitecture) return client(std::nullopt, "option 93 unreadable");
    if (asksBootFile && asksBootServer) return client(std::nullopt, "asks for options 66 and 67");
    return client(std::nullopt, asksBootFile ? "asks for option 67" : "asks for option 66");
}

}  // namespace anvil
