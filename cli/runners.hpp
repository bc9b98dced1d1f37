#pragma once
// The work of `dhcpanvil list` and `dhcpanvil serve`; each returns the process's exit status.
#include "cli/serve_options.hpp"

namespace anvil {

int runList();
// Throws CLIError (isUsage false) for problems the user must fix before serving.
int runServe(const ServeOptions& options);

}  // namespace anvil
