#include "core/update/update_policy.hpp"

namespace anvil {

std::string UpdateErrorText::describe(const UpdateError& error) {
    std::optional<std::string> deepest;
    for (const auto& inner : error.underlyingDescriptions)
        if (!inner.starts_with("The operation couldn")) deepest = inner;
    if (deepest && *deepest != error.description) return error.description + " (" + *deepest + ")";
    return error.description;
}

bool UpdateErrorText::isSilent(const UpdateError& error, const std::string& frameworkDomain) {
    if (error.domain == UpdatePolicy::errorDomain) return true;
    return error.domain == frameworkDomain && (error.code == 1001 || error.code == 4007);
}

bool UpdateDeferral::mayPerform(UpdateCheckKind kind, bool serverRunning, std::vector<std::string>& log) {
    if (UpdatePolicy::mayCheck(serverRunning, kind)) return true;
    if (!checkOwed_) log.emplace_back(UpdatePolicy::deferredLogLine);
    checkOwed_ = true;
    return false;
}

bool UpdateDeferral::serverStopped(bool automaticChecksOn) {
    if (!checkOwed_) return false;
    checkOwed_ = false;
    return automaticChecksOn;
}

}  // namespace anvil
