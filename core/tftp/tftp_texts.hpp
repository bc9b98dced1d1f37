#pragma once
// Every TFTP sentence: the messages clients are sent in ERROR packets, and the reasons users read.
#include <cstdint>
#include <string>
#include <string_view>

namespace anvil::TFTPText {

// To clients. A refused path is always "File not found" so that a client learns nothing of the
// folder's layout; the real reason goes to the user.
inline constexpr std::string_view fileNotFound = "File not found";
inline constexpr std::string_view accessViolation = "Access violation";
inline constexpr std::string_view readOnly = "Only reading is allowed";
inline constexpr std::string_view illegalOperation = "Illegal TFTP operation";
inline constexpr std::string_view unknownTransferID = "Unknown transfer ID";
inline constexpr std::string_view serverBusy = "Too many transfers, try again later";
inline constexpr std::string_view transferNotStarted = "Could not start the transfer, try again later";
inline constexpr std::string_view timedOut = "Timed out";
inline constexpr std::string_view fileChanged = "File changed while it was sent";

// To users: why a path was refused.
inline constexpr std::string_view pathEmpty = "names no file";
inline constexpr std::string_view pathTooLong = "is longer than 255 bytes";
inline constexpr std::string_view pathControlByte = "contains a control character";
inline constexpr std::string_view pathLeavesFolder = "leaves the boot folder";
// Found where the runtime opens the path beneath the folder.
inline constexpr std::string_view fileMissing = "is not in the boot folder";
inline constexpr std::string_view linkLeavesFolder = "is a symbolic link that leaves the boot folder";
inline constexpr std::string_view notRegularFile = "is a folder, device or other special file";
inline constexpr std::string_view fileUnreadable = "cannot be read by the server";
inline constexpr std::string_view fileShrank = "the file got shorter while it was sent";

// To users: why a transfer was not started or did not finish.
inline constexpr std::string_view tooManyTransfers = "16 transfers are already running";
inline constexpr std::string_view tooManyForClient = "this client already has 4 transfers running";
inline constexpr std::string_view transferTimedOut = "the client stopped answering";
inline std::string slotTaken(const std::string& taker) {
    return "16 transfers were running and " + taker + ", which holds a lease, took the slot of this one, "
           "whose client never acknowledged anything";
}
inline std::string clientError(std::uint16_t code, std::string_view plainMessage) {
    return "the client gave up with error " + std::to_string(code) +
           (plainMessage.empty() ? std::string{} : " (" + std::string(plainMessage) + ")");
}
inline constexpr std::string_view protocolError = "the client sent a packet that has no place in a transfer";
inline constexpr std::string_view mailModeRefused = "asked for mail mode, which is not served";
inline constexpr std::string_view writeRefused = "asked to write a file; this server only serves files";

}  // namespace anvil::TFTPText
