#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/cli_error.hpp"
#include "cli/runners.hpp"
#include "cli/usage.hpp"
#include "core/addressing/timing.hpp"
#include "core/host/standard_descriptors.hpp"

namespace {

void printUsage(std::FILE* stream) {
    std::fprintf(stream, "%.*s\n", static_cast<int>(anvil::usageText.size()), anvil::usageText.data());
}

int reportFailure(const std::string& description, bool isUsage) {
    std::fprintf(stderr, "dhcpanvil: %s\n", description.c_str());
    if (!isUsage) return 1;
    std::fputc('\n', stderr);
    printUsage(stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    anvil::StandardDescriptors::reserve();
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty()) {
        printUsage(stdout);
        return 0;
    }
    const std::string& command = arguments.front();
    try {
        if (command == "list") return anvil::runList();
        if (command == "leases")
            return anvil::runLeases(anvil::parseLeases(std::vector<std::string>(arguments.begin() + 1, arguments.end())));
        if (command == "serve")
            return anvil::runServe(anvil::parseServe(std::vector<std::string>(arguments.begin() + 1, arguments.end())));
        if (command == "watch")
            return anvil::runWatch(anvil::parseWatch(std::vector<std::string>(arguments.begin() + 1, arguments.end())));
        if (command == "--version") {
            std::printf("dhcpanvil %s\n", anvil::DHCPCoreInfo::version);
            return 0;
        }
    } catch (const anvil::CLIError& error) {
        return reportFailure(error.description(), error.isUsage);
    } catch (const std::exception& error) {
        return reportFailure(error.what(), false);
    }
    printUsage(stdout);
    return 2;
}
