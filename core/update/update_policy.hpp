#pragma once
// When an update check may run, and how update failures are worded for the log.
#include <optional>
#include <string>
#include <vector>

namespace anvil {

enum class UpdateCheckKind { userInitiated, background };

namespace UpdatePolicy {

inline constexpr const char* errorDomain = "DHCPAnvil.UpdatePolicy";
inline constexpr int deferredCode = 1;
inline constexpr const char* deferredDescription = "Update check deferred while the server is running.";
inline constexpr const char* deferredLogLine = "check deferred until the server stops";

// A background check never runs while serving; a check the user asks for always does.
constexpr bool mayCheck(bool serverRunning, UpdateCheckKind kind) {
    return !serverRunning || kind == UpdateCheckKind::userInitiated;
}

}  // namespace UpdatePolicy

// An error as an update framework reports it: its text, and the chain of underlying errors.
struct UpdateError {
    std::string domain;
    int code = 0;
    std::string description;
    std::vector<std::string> underlyingDescriptions;  // outermost first
};

namespace UpdateErrorText {

std::string describe(const UpdateError& error);
// Expected failures (the policy's own refusal, the framework's 1001 and 4007) are not logged.
bool isSilent(const UpdateError& error, const std::string& frameworkDomain);

}  // namespace UpdateErrorText

// The owed-check bookkeeping of the updater glue, without the framework.
class UpdateDeferral {
public:
    // Whether the check may run; a refused background check is remembered and logged once.
    bool mayPerform(UpdateCheckKind kind, bool serverRunning, std::vector<std::string>& log);
    // The server stopped: whether a background check should run now.
    bool serverStopped(bool automaticChecksOn);
    bool checkOwed() const { return checkOwed_; }

private:
    bool checkOwed_ = false;
};

}  // namespace anvil
