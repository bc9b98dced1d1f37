#include "core/events/tftp_failure_reason.hpp"

namespace anvil {

std::string_view rawValue(TFTPFailureReason reason) {
    switch (reason) {
        case TFTPFailureReason::notInFolder: return "notInFolder";
        case TFTPFailureReason::refusedPath: return "refusedPath";
        case TFTPFailureReason::clientError: return "clientError";
        case TFTPFailureReason::timedOut: return "timedOut";
        case TFTPFailureReason::busy: return "busy";
        case TFTPFailureReason::unreadable: return "unreadable";
    }
    return "";
}

std::optional<TFTPFailureReason> tftpFailureReasonFromRaw(std::string_view text) {
    for (auto reason : allTFTPFailureReasons)
        if (rawValue(reason) == text) return reason;
    return std::nullopt;
}

std::string_view description(TFTPFailureReason reason) {
    switch (reason) {
        case TFTPFailureReason::notInFolder: return "not in the boot folder";
        case TFTPFailureReason::refusedPath: return "refused path";
        case TFTPFailureReason::clientError: return "the client gave up";
        case TFTPFailureReason::timedOut: return "timed out";
        case TFTPFailureReason::busy: return "too many transfers";
        case TFTPFailureReason::unreadable: return "cannot be read";
    }
    return "";
}

}  // namespace anvil
