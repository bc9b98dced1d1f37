// dhcpanvil-load: brings up simulated devices against `dhcpanvil serve --test-loopback`.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "tools/load_run.hpp"

namespace {

constexpr const char* usage =
    "usage: dhcpanvil-load [--port 6767] [--client-port 6868] [--devices 8] [--exchanges 1000]\n"
    "                      [--renew] [--release] [--new-devices] [--timeout-ms 1000] [--quiet]\n"
    "Runs DISCOVER, OFFER, REQUEST, ACK for simulated devices against a server in loopback test mode\n"
    "and prints exchanges per second and latency percentiles. --new-devices gives every exchange a\n"
    "hardware address never used before and releases it after the ACK.";

bool parseNumber(const char* text, long lowest, long highest, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return *text && *end == '\0' && value >= lowest && value <= highest;
}

}  // namespace

int main(int argc, char** argv) {
    anvil::load::LoadOptions options;
    options.macSalt = static_cast<std::uint16_t>(::getpid());
    bool quiet = false;
    for (int index = 1; index < argc; ++index) {
        std::string option = argv[index];
        auto number = [&](long lowest, long highest) {
            long value = 0;
            if (index + 1 >= argc || !parseNumber(argv[++index], lowest, highest, value)) {
                std::fprintf(stderr, "dhcpanvil-load: %s needs a number from %ld to %ld\n%s\n", option.c_str(), lowest,
                             highest, usage);
                std::exit(2);
            }
            return value;
        };
        if (option == "--port")
            options.serverPort = static_cast<std::uint16_t>(number(1, 65535));
        else if (option == "--client-port")
            options.clientPort = static_cast<std::uint16_t>(number(1, 65535));
        else if (option == "--devices")
            options.devices = static_cast<int>(number(1, 65535));
        else if (option == "--exchanges")
            options.exchanges = static_cast<int>(number(1, 100000000));
        else if (option == "--timeout-ms")
            options.stepTimeoutMs = static_cast<int>(number(1, 60000));
        else if (option == "--renew")
            options.renew = true;
        else if (option == "--release")
            options.release = true;
        else if (option == "--new-devices")
            options.newDevices = true;
        else if (option == "--quiet")
            quiet = true;
        else {
            std::fprintf(stderr, "dhcpanvil-load: unknown option %s\n%s\n", option.c_str(), usage);
            return 2;
        }
    }

    bool showProgress = !quiet && ::isatty(STDERR_FILENO);
    try {
        auto result = anvil::load::runLoad(options, [&](int completed, int total) {
            if (showProgress) std::fprintf(stderr, "\r%d of %d exchanges", completed, total);
        });
        if (showProgress) std::fprintf(stderr, "\r\033[K");
        std::printf("%s\n", result.summary().c_str());
        return result.failed == 0 && result.completed > 0 ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dhcpanvil-load: %s\n", error.what());
        return 1;
    }
}
