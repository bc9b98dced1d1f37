#pragma once
// A lasting problem shown to the user until it is cleared; at most one per kind is active.
#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/watch/neighbour.hpp"
#include "core/watch/neighbour_advice.hpp"
#include "core/platform.hpp"

namespace anvil {

enum class NoticeKind {
    localNetworkDenied,
    otherServer,
    portInUse,
    leaseSaveFailed,
    linkDown,
    adapterUnplugged,
    leaseFileSetAside,
    bootFileMissing,
    // A device on the cable that never asks for an address; its action reaches it.
    deviceNotAsking,
    // A device that keeps looking for an address nobody holds; its action serves the file it wants.
    recoveryLoader,
};

inline constexpr std::array<NoticeKind, 10> allNoticeKinds{
    NoticeKind::localNetworkDenied, NoticeKind::otherServer,       NoticeKind::portInUse,
    NoticeKind::leaseSaveFailed,    NoticeKind::linkDown,          NoticeKind::adapterUnplugged,
    NoticeKind::leaseFileSetAside,  NoticeKind::bootFileMissing,   NoticeKind::deviceNotAsking,
    NoticeKind::recoveryLoader,
};

// The case name, which is also how a kind is stored.
std::string_view rawValue(NoticeKind kind);
// Nothing unless the text is exactly one of the case names.
std::optional<NoticeKind> noticeKindFromRaw(std::string_view text);
bool isCritical(NoticeKind kind);

struct Notice {
    NoticeKind kind = NoticeKind::linkDown;
    std::string message;
    // The device a notice about the cable's neighbours names; its action acts on that device.
    std::optional<MACAddress> neighbour;

    NoticeKind id() const { return kind; }
    bool isCritical() const { return anvil::isCritical(kind); }

    // Every notice sentence the system shows, in one place.
    // On Linux these name what is true there: no Local Network privacy, no Internet Sharing.
    static Notice localNetworkDenied(Platform platform = hostPlatform);
    static Notice otherServer(IPv4Address otherServerIP);
    // Nothing for the holder when the program holding port 67 is not known.
    static Notice portInUse(const std::optional<std::string>& holder, Platform platform = hostPlatform);
    static Notice leaseSaveFailed(std::string_view errorDescription);
    // Reading the lease file at server start failed; the file is left as it is.
    static Notice leaseReadFailedAtStart(std::string_view errorDescription);
    // Reading the leases when the desktop application launches failed.
    static Notice leaseReadFailedAtLaunch(std::string_view errorText);
    static Notice linkDown(std::string_view interfaceName);
    static Notice adapterUnplugged();
    // Names only the file the unreadable lease file was moved to, never its folder.
    static Notice leaseFileSetAside(const std::filesystem::path& movedTo);
    // Same kind: the journal beside the lease file was damaged and moved; the snapshot still loaded.
    static Notice leaseJournalSetAside(const std::filesystem::path& movedTo);
    // The file name is the client's text and is shown escaped; the folder is the user's own.
    static Notice bootFileMissing(std::string_view file, const std::filesystem::path& folder);
    // The same kind when serving without a boot folder, only the files the user gave.
    static Notice bootFileNotGiven(std::string_view file);
    // deviceNotAsking or recoveryLoader, by the advice's kind, naming the neighbour.
    static Notice neighbourAdvice(const NeighbourAdvice& advice, const Neighbour& neighbour);

    friend bool operator==(const Notice&, const Notice&) = default;
};

}  // namespace anvil
