#pragma once
// Runs many simulated devices through whole exchanges against one server and measures them.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace anvil::load {

struct LoadOptions {
    std::uint16_t serverPort = 6767;
    std::uint16_t clientPort = 6868;
    int devices = 8;
    int exchanges = 1000;  // DISCOVER to ACK, across all devices
    bool renew = false;    // follow each ACK with a renewal
    bool release = false;  // end each exchange with a RELEASE
    // Every exchange by a device never seen before, released after its ACK: a bench that brings
    // up one device after another.
    bool newDevices = false;
    int stepTimeoutMs = 1000;
    int retries = 3;
    std::uint16_t macSalt = 0;  // keeps hardware addresses of separate runs apart
};

struct LoadResult {
    int completed = 0;
    int failed = 0;  // timed out after every retry
    int naks = 0;
    double seconds = 0;
    std::vector<double> latenciesMs;  // DISCOVER sent to ACK received, per completed exchange
    int distinctAddresses = 0;

    double exchangesPerSecond() const { return seconds > 0 ? completed / seconds : 0; }
    double percentileMs(double fraction) const;
    std::string summary() const;
};

using ProgressReport = std::function<void(int completed, int total)>;

// Throws std::runtime_error when the client port cannot be bound.
LoadResult runLoad(const LoadOptions& options, const ProgressReport& progress = {});

}  // namespace anvil::load
