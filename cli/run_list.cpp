#include "cli/cli_error.hpp"
#include "cli/runners.hpp"

namespace anvil {

int runList() { throw CLIError::failure("listing cards is not available in this build yet"); }

}  // namespace anvil
