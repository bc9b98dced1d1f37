#include "cli/cli_error.hpp"
#include "cli/runners.hpp"

namespace anvil {

int runServe(const ServeOptions& options) {
    auto errors = options.config.validate();
    if (!errors.empty()) {
        std::string message;
        for (const auto& error : errors) {
            if (!message.empty()) message += "\n";
            message += error.description();
        }
        throw CLIError::failure(message);
    }
    throw CLIError::failure("serving is not available in this build yet");
}

}  // namespace anvil
