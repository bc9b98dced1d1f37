#include "core/events/notice.hpp"

#include "core/addressing/plain_text.hpp"

namespace anvil {

std::string_view rawValue(NoticeKind kind) {
    switch (kind) {
        case NoticeKind::localNetworkDenied: return "localNetworkDenied";
        case NoticeKind::otherServer: return "otherServer";
        case NoticeKind::portInUse: return "portInUse";
        case NoticeKind::leaseSaveFailed: return "leaseSaveFailed";
        case NoticeKind::linkDown: return "linkDown";
        case NoticeKind::adapterUnplugged: return "adapterUnplugged";
        case NoticeKind::leaseFileSetAside: return "leaseFileSetAside";
        case NoticeKind::bootFileMissing: return "bootFileMissing";
        case NoticeKind::deviceNotAsking: return "deviceNotAsking";
        case NoticeKind::recoveryLoader: return "recoveryLoader";
    }
    return "";
}

std::optional<NoticeKind> noticeKindFromRaw(std::string_view text) {
    for (auto kind : allNoticeKinds)
        if (rawValue(kind) == text) return kind;
    return std::nullopt;
}

bool isCritical(NoticeKind kind) {
    switch (kind) {
        case NoticeKind::localNetworkDenied:
        case NoticeKind::otherServer:
        case NoticeKind::portInUse:
        case NoticeKind::leaseSaveFailed: return true;
        case NoticeKind::linkDown:
        case NoticeKind::adapterUnplugged:
        case NoticeKind::leaseFileSetAside:
        case NoticeKind::bootFileMissing:
        case NoticeKind::deviceNotAsking:
        case NoticeKind::recoveryLoader: return false;
    }
    return false;
}

Notice Notice::localNetworkDenied(Platform platform) {
    if (platform == Platform::macOS)
        return {NoticeKind::localNetworkDenied,
                "Local Network access is off for DHCP Anvil. macOS is blocking DHCP broadcasts, so no device can get "
                "an address.", {}};
    return {NoticeKind::localNetworkDenied,
            "This computer refuses to send DHCP Anvil's replies. A firewall or routing rule is blocking DHCP "
            "broadcasts, so no device can get an address.", {}};
}

Notice Notice::otherServer(IPv4Address otherServerIP) {
    return {NoticeKind::otherServer, "Another DHCP server is on this cable (" + otherServerIP.description() +
                                         "). The device chose it instead of DHCP Anvil.", {}};
}

Notice Notice::portInUse(const std::optional<std::string>& holder, Platform platform) {
    return {NoticeKind::portInUse,
            "Port 67 is in use by " + holder.value_or("another program") +
                (platform == Platform::macOS ? ". Turn off Internet Sharing or stop the VM's shared network."
                                             : ". Stop the program that serves DHCP there (dnsmasq, libvirt's "
                                               "network, a NetworkManager shared connection)."), {}};
}

Notice Notice::leaseSaveFailed(std::string_view errorDescription) {
    return {NoticeKind::leaseSaveFailed, "Leases could not be saved: " + std::string(errorDescription), {}};
}

Notice Notice::leaseReadFailedAtStart(std::string_view errorDescription) {
    return {NoticeKind::leaseSaveFailed, "DHCP Anvil can't read leases.json (" + std::string(errorDescription) +
                                             "). Leases are kept in memory only and the file is left untouched.", {}};
}

Notice Notice::leaseReadFailedAtLaunch(std::string_view errorText) {
    return {NoticeKind::leaseSaveFailed, "Could not read leases: " + std::string(errorText), {}};
}

Notice Notice::linkDown(std::string_view interfaceName) {
    return {NoticeKind::linkDown, "Link down. No device is connected to " + std::string(interfaceName) +
                                      ". Serving resumes on its own when the link returns.", {}};
}

Notice Notice::adapterUnplugged() {
    return {NoticeKind::adapterUnplugged, "The adapter was unplugged. Waiting for it to come back\u2026", {}};
}

Notice Notice::leaseFileSetAside(const std::filesystem::path& movedTo) {
    // A path ending in a separator has an empty file name; its last component is the folder's name.
    auto name = movedTo.filename();
    if (name.empty()) name = movedTo.parent_path().filename();
    return {NoticeKind::leaseFileSetAside,
            "The lease file could not be read and was moved to " + name.string() + ". Starting with no leases.", {}};
}

Notice Notice::leaseJournalSetAside(const std::filesystem::path& movedTo) {
    return {NoticeKind::leaseFileSetAside, "The lease journal could not be read and was moved to " +
                                               movedTo.filename().string() + ". The leases saved before it were kept.", {}};
}

Notice Notice::bootFileMissing(std::string_view file, const std::filesystem::path& folder) {
    return {NoticeKind::bootFileMissing, "Device asked for boot file " + plainText(file) +
                                             ", which is not in the boot folder " + plainText(folder.string()), {}};
}

Notice Notice::bootFileNotGiven(std::string_view file) {
    return {NoticeKind::bootFileMissing,
            "Device asked for boot file " + plainText(file) + ", which DHCP Anvil has not been given", {}};
}

Notice Notice::neighbourAdvice(const NeighbourAdvice& advice, const Neighbour& neighbour) {
    auto kind = advice.kind == NeighbourAdvice::Kind::reachIt ? NoticeKind::deviceNotAsking : NoticeKind::recoveryLoader;
    return {kind, adviceSentence(advice, neighbour), neighbour.mac};
}

}  // namespace anvil
