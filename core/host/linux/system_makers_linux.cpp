#include "core/host/linux/text_file.hpp"
#include "core/host/system_makers.hpp"

namespace anvil {

namespace {

// MA-L, MA-M, MA-S and the older IAB blocks as the ieee-data package installs them.
constexpr const char* registryFiles[] = {
    "/usr/share/ieee-data/oui.csv",
    "/usr/share/ieee-data/mam.csv",
    "/usr/share/ieee-data/oui36.csv",
    "/usr/share/ieee-data/iab.csv",
};
// The files hold a few megabytes; anything far larger is not the registry.
constexpr std::size_t registryFileLimit = 64 * 1024 * 1024;

MakerRegistry readSystemRegistry() {
    std::vector<std::string> texts;
    for (const char* path : registryFiles)
        if (auto text = LinuxHost::readTextFile(path, registryFileLimit)) texts.push_back(std::move(*text));
    return MakerRegistry::fromCSV(std::vector<std::string_view>(texts.begin(), texts.end()));
}

}  // namespace

const MakerRegistry& SystemMakers::registry() {
    static const MakerRegistry registry = readSystemRegistry();
    return registry;
}

std::optional<std::string> SystemMakers::lookup(const MACAddress& mac) { return makerOf(mac, registry()); }

}  // namespace anvil
