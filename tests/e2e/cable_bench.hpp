#pragma once
// A bench cable in throwaway network namespaces: the server's card "enw…" in a "bench" namespace
// (10.77.0.1/24, no default route), its peer end on a bridge in a "cable" namespace, and device
// namespaces plugged into that bridge with fixed factory addresses. Removed however a test ends.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/field_bench.hpp"

namespace anvil::field {

struct CableBench {
    std::string tag = std::to_string(::getpid() % 100000);
    std::string benchNS = "anvil-wbench-" + tag;
    std::string cableNS = "anvil-wcable-" + tag;
    std::string card = "enw" + tag;
    std::string cardMAC = "02:77:00:00:00:01";
    std::vector<std::string> deviceNamespaces;
    std::string error;

    CableBench() {
        run({"netns", "add", benchNS});
        run({"netns", "add", cableNS});
        run({"link", "add", card, "netns", benchNS, "address", cardMAC, "type", "veth", "peer", "name", "uplink",
             "netns", cableNS});
        run({"-n", benchNS, "address", "add", "10.77.0.1/24", "dev", card});
        // LLDP's group address (01:80:c2:00:00:0e) is not forwarded by a bridge unless its bit is set.
        run({"-n", cableNS, "link", "add", "br0", "type", "bridge", "forward_delay", "0", "stp_state", "0",
             "group_fwd_mask", "0x4000"});
        run({"-n", cableNS, "link", "set", "uplink", "master", "br0"});
        for (const char* link : {"lo", "uplink", "br0"}) run({"-n", cableNS, "link", "set", link, "up"});
        run({"-n", benchNS, "link", "set", "lo", "up"});
        run({"-n", benchNS, "link", "set", card, "up"});
    }
    ~CableBench() {
        for (const auto& ns : deviceNamespaces) ip({"netns", "delete", ns});
        ip({"netns", "delete", cableNS});
        ip({"netns", "delete", benchNS});
    }
    CableBench(const CableBench&) = delete;
    CableBench& operator=(const CableBench&) = delete;

    // A device namespace whose card "eth" (hardware address `mac`) is on the cable; returns its name.
    std::string plugDevice(const std::string& name, const std::string& mac, const std::string& address,
                           const std::string& gateway = "") {
        auto ns = "anvil-wdev" + name + "-" + tag;
        auto port = "p" + name + tag;
        run({"netns", "add", ns});
        deviceNamespaces.push_back(ns);
        run({"link", "add", "eth", "netns", ns, "address", mac, "type", "veth", "peer", "name", port, "netns", cableNS});
        run({"-n", cableNS, "link", "set", port, "master", "br0"});
        run({"-n", cableNS, "link", "set", port, "up"});
        run({"-n", ns, "link", "set", "lo", "up"});
        run({"-n", ns, "link", "set", "eth", "up"});
        if (!address.empty()) run({"-n", ns, "address", "add", address, "dev", "eth"});
        if (!gateway.empty()) run({"-n", ns, "route", "add", "default", "via", gateway});
        return ns;
    }

    // A shell command line run in the bench namespace, as the server's "Reach it" runs it.
    ProcessRunner::Output shellInBench(const std::string& command) {
        return ProcessRunner::run(ipTool, {"netns", "exec", benchNS, "/bin/sh", "-c", command});
    }

    std::string cardAddresses() { return ip({"-n", benchNS, "-4", "address", "show", "dev", card}).text; }

    void run(const std::vector<std::string>& arguments) {
        auto output = ip(arguments);
        if (output.status != 0 && error.empty()) error = "ip " + arguments[0] + " " + arguments[1] + ": " + output.text;
    }
};

}  // namespace anvil::field
