#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/addressing/system_clock.hpp"
#include "core/leases/internet_date.hpp"
#include "tool_process.hpp"

namespace {

namespace fs = std::filesystem;

struct Folder {
    fs::path path = fs::temp_directory_path() / ("anvil-leases-" + std::to_string(getpid()));
    Folder() { fs::create_directories(path); }
    ~Folder() { fs::remove_all(path); }
};

std::string leaseFile(const std::string& leases, const std::string& quarantine) {
    return R"({"leases" : [)" + leases + R"(], "quarantine" : [)" + quarantine + R"(], "version" : 1})";
}

std::string lease(const char* mac, const char* ip, const char* state, const std::string& expiresAt,
                  const char* hostname) {
    std::string host = hostname ? std::string(R"("hostname" : ")") + hostname + R"(", )" : "";
    return std::string(R"({"mac" : ")") + mac + R"(", "ip" : ")" + ip + R"(", "state" : ")" + state + R"(", )" + host +
           R"("expiresAt" : ")" + expiresAt + R"(", "firstSeen" : "2025-01-01T00:00:00Z", )" +
           R"("lastSeen" : "2025-01-01T00:00:00Z"})";
}

TEST(LeasesCommand, PrintsTheTableOrRefusesAnUnreadableFileWithoutTouchingIt) {
    Folder folder;
    // 23 h 59 m and a few seconds ahead, so that the minute shown survives a slow run.
    const std::string tomorrow = anvil::formatInternetDate(anvil::Date{anvil::systemNow().secondsSince1970 + 86370});
    const std::string past = "2020-01-01T00:00:00Z";
    // The makers come from the installed registry (ieee-data, which the test set-up installs).
    const bool registry = fs::exists("/usr/share/ieee-data/oui.csv");
    const std::string table = leaseFile(lease("dc:a6:32:01:02:03", "192.168.0.101", "bound", tomorrow, "pi") + "," +
                                            lease("02:00:00:aa:bb:cc", "192.168.0.100", "released", past, nullptr),
                                        R"({"ip" : "192.168.0.150", "until" : ")" + past +
                                            R"(", "reportedBy" : "02:00:00:aa:bb:cc"})");
    auto bootp = lease("02:00:00:aa:bb:cc", "192.168.0.100", "bound", past, nullptr);
    bootp = leaseFile(bootp.replace(bootp.find("\"state\""), 0, R"("bootp" : true, )"), "");
    struct Case {
        const char* name;
        std::optional<std::string> contents;
        std::vector<std::string> extra;
        std::string out;
        std::string err;
        int status;
    };
    const std::string path = (folder.path / "leases.json").string();
    const Case cases[] = {
        {"table",
         table,
         {},
         "192.168.0.100  02:00:00:aa:bb:cc  locally administered      -   released     expired\n"
         "192.168.0.101  dc:a6:32:01:02:03  Raspberry Pi Trading Ltd  pi  bound        23 h 59 m left\n"
         "192.168.0.150  02:00:00:aa:bb:cc  locally administered      -   quarantined  expired\n",
         "",
         0},
        {"json",
         leaseFile(lease("dc:a6:32:01:02:03", "192.168.0.101", "bound", past, "pi"), ""),
         {"--json"},
         R"({"expired":true,"expiresAt":"2020-01-01T00:00:00Z","firstSeen":"2025-01-01T00:00:00Z","hostname":"pi",)"
         R"("ip":"192.168.0.101","lastSeen":"2025-01-01T00:00:00Z","mac":"dc:a6:32:01:02:03",)"
         R"("maker":"Raspberry Pi Trading Ltd","state":"bound"})"
         "\n",
         "",
         0},
        // A host name that would clear the screen and ring the bell is shown, not obeyed.
        {"outside text",
         leaseFile(lease("02:00:00:aa:bb:cc", "192.168.0.100", "released", past, "\\u001b[2Jwiped\\u0007\\u007f"),
                   ""),
         {},
         "192.168.0.100  02:00:00:aa:bb:cc  locally administered  \\x1b[2Jwiped\\x07\\x7f  released  expired\n",
         "",
         0},
        {"outside text in JSON",
         leaseFile(lease("02:00:00:aa:bb:cc", "192.168.0.100", "released", past, "\\u001b[2Jwiped"), ""),
         {"--json"},
         R"({"expired":true,"expiresAt":"2020-01-01T00:00:00Z","firstSeen":"2025-01-01T00:00:00Z",)"
         R"("hostname":"\\x1b[2Jwiped","ip":"192.168.0.100","lastSeen":"2025-01-01T00:00:00Z",)"
         R"("mac":"02:00:00:aa:bb:cc","maker":"locally administered","state":"released"})"
         "\n",
         "",
         0},
        {"BOOTP lease",
         bootp,
         {},
         "192.168.0.100  02:00:00:aa:bb:cc  locally administered  -  bound (BOOTP)  expired\n",
         "",
         0},
        {"missing", std::nullopt, {}, "No leases in " + path + ".\n", "", 0},
        {"undecodable", "{\"leases\" : [", {}, "", "dhcpanvil: could not read " + path + ": The data is not valid JSON\n", 1},
        {"a folder", "", {}, "", "dhcpanvil: could not read " + path + ": Is a directory\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!registry && c.out.find("Raspberry") != std::string::npos) continue;
        fs::remove_all(path);
        if (c.contents && std::string(c.name) == "a folder")
            fs::create_directory(path);
        else if (c.contents)
            std::ofstream(path) << *c.contents;
        std::vector<std::string> arguments{"leases", "--leases", path};
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
        auto run = runTool(arguments);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.status, c.status);
        // Only reads: whatever was there is still there, and nothing was set beside it.
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator{}), c.contents ? 1 : 0);
    }
}

}  // namespace
