#pragma once
// Why a TFTP transfer ended without the whole file reaching the client.
#include <array>
#include <optional>
#include <string_view>

namespace anvil {

enum class TFTPFailureReason { notInFolder, refusedPath, clientError, timedOut, busy, unreadable };

inline constexpr std::array<TFTPFailureReason, 6> allTFTPFailureReasons{
    TFTPFailureReason::notInFolder, TFTPFailureReason::refusedPath, TFTPFailureReason::clientError,
    TFTPFailureReason::timedOut,    TFTPFailureReason::busy,        TFTPFailureReason::unreadable,
};

// The case name, as JSON carries it.
std::string_view rawValue(TFTPFailureReason reason);
std::optional<TFTPFailureReason> tftpFailureReasonFromRaw(std::string_view text);
// Plain English for the log and the screens: "not in the boot folder".
std::string_view description(TFTPFailureReason reason);

}  // namespace anvil
