#pragma once
// The work of `dhcpanvil list`, `leases` and `serve`; each returns the process's exit status.
#include "cli/lease_listing.hpp"
#include "cli/serve_options.hpp"

namespace anvil {

int runList();
// Throws CLIError (isUsage false) when the lease file cannot be read; never changes the file.
int runLeases(const LeasesOptions& options);
// Throws CLIError (isUsage false) for problems the user must fix before serving.
int runServe(const ServeOptions& options);
// Throws CLIError (isUsage false) for an unknown card or a watch that cannot start.
int runWatch(const WatchOptions& options);

}  // namespace anvil
