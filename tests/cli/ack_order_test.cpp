// The durability claim read from the system calls of a real `dhcpanvil serve` under load: an ACK
// leaves only after its lease's record was written to the journal and an fdatasync begun after
// that write ended, and never while the journal holds a write no fdatasync has covered yet.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/leases/lease_file.hpp"
#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp/option_code.hpp"
#include "serve_process.hpp"
#include "tools/load_run.hpp"

using namespace anvil;
namespace fs = std::filesystem;

namespace {

std::optional<std::string> programOnPath(const std::string& name) {
    std::istringstream path(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    for (std::string folder; std::getline(path, folder, ':');) {
        auto candidate = fs::path(folder) / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return std::nullopt;
}

// strace's quoting: with -xx every byte is "\xHH"; the other escapes are kept for safety.
std::string unescape(std::string_view text) {
    std::string bytes;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\\' || at + 1 == text.size()) {
            bytes += text[at];
            continue;
        }
        char kind = text[++at];
        if (kind == 'x' && at + 2 < text.size()) {
            bytes += static_cast<char>(std::stoi(std::string(text.substr(at + 1, 2)), nullptr, 16));
            at += 2;
        } else if (kind == 'n') {
            bytes += '\n';
        } else if (kind == 't') {
            bytes += '\t';
        } else {
            bytes += kind;
        }
    }
    return bytes;
}

// One system call of the trace; `start` and `end` are line numbers, apart when it was interrupted
// by another thread's line ("<unfinished ...>", then "<... name resumed>").
struct Call {
    std::string name;
    int fd = -1;
    std::string path;     // the fd's file, from -y
    std::string payload;  // the first buffer, for sendto and sendmsg
    std::size_t start = 0;
    std::size_t end = 0;
    long result = -1;
};

long resultOf(std::string_view line) {
    auto equals = line.rfind("= ");
    if (equals == std::string_view::npos) return -1;
    return std::strtol(std::string(line.substr(equals + 2)).c_str(), nullptr, 10);
}

std::vector<Call> parseTrace(const std::string& text) {
    std::vector<Call> calls;
    std::map<long, std::size_t> unfinished;  // thread → its call
    std::istringstream lines(text);
    std::size_t number = 0;
    for (std::string line; std::getline(lines, line); ++number) {
        std::size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        long thread = std::strtol(line.c_str(), nullptr, 10);
        std::string_view rest = std::string_view(line).substr(line.find_first_not_of(' ', space));
        if (rest.starts_with("<... ")) {
            auto found = unfinished.find(thread);
            if (found == unfinished.end()) continue;
            calls[found->second].end = number;
            calls[found->second].result = resultOf(rest);
            unfinished.erase(found);
            continue;
        }
        auto open = rest.find('(');
        if (rest.starts_with("---") || rest.starts_with("+++") || open == std::string_view::npos) continue;
        Call call;
        call.name = std::string(rest.substr(0, open));
        call.fd = std::atoi(std::string(rest.substr(open + 1)).c_str());
        auto pathStart = rest.find('<', open);
        auto pathEnd = rest.find('>', pathStart);
        if (pathStart != std::string_view::npos && pathEnd != std::string_view::npos &&
            pathStart < rest.find(',', open))
            call.path = unescape(rest.substr(pathStart + 1, pathEnd - pathStart - 1));
        auto quote = rest.find('"', pathEnd == std::string_view::npos ? open : pathEnd);
        auto closing = quote == std::string_view::npos ? quote : rest.find('"', quote + 1);
        if (closing != std::string_view::npos) call.payload = unescape(rest.substr(quote + 1, closing - quote - 1));
        call.start = call.end = number;
        if (rest.ends_with("<unfinished ...>")) {
            unfinished[thread] = calls.size();
        } else {
            call.result = resultOf(rest);
        }
        calls.push_back(std::move(call));
    }
    return calls;
}

// The ACK's device and address, or nothing for any other datagram.
std::optional<std::pair<std::string, std::string>> ackedLease(const std::string& datagram) {
    try {
        auto packet = DHCPPacket::parse(Bytes(datagram.begin(), datagram.end()));
        if (packet.op != 2 || packet.messageType() != DHCPMessageType::ack || !packet.mac()) return std::nullopt;
        return std::pair{packet.mac()->description(), packet.yiaddr.description()};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// A record in the written bytes puts the device's lease, bound at the address: a lease record is
// one flat object, so its fields lie between the braces around the device's address.
bool holdsBoundLease(const std::string& bytes, const std::pair<std::string, std::string>& lease) {
    for (auto at = bytes.find(lease.first); at != std::string::npos; at = bytes.find(lease.first, at + 1)) {
        auto open = bytes.rfind('{', at), close = bytes.find('}', at);
        if (open == std::string::npos || close == std::string::npos) continue;
        auto record = std::string_view(bytes).substr(open, close - open);
        if (record.find('"' + lease.second + '"') != std::string_view::npos &&
            record.find(R"("bound")") != std::string_view::npos)
            return true;
    }
    return false;
}

struct Verdict {
    int acks = 0;
    int journalFlushes = 0;
    std::vector<std::string> faults;
};

// The ACK's own record was written to the journal, and an fdatasync of that file began after the
// write ended and ended well before the ACK left.
template <typename IsJournal>
void checkOwnRecord(const Call& ack, const std::pair<std::string, std::string>& lease, const std::vector<Call>& calls,
                    const IsJournal& isJournal, Verdict& verdict) {
    const Call* written = nullptr;
    for (const auto& call : calls)
        if ((call.name == "pwrite64" || call.name == "write") && isJournal(call) && call.result > 0 &&
            call.end < ack.start && holdsBoundLease(call.payload, lease))
            written = &call;
    bool flushed = written && std::any_of(calls.begin(), calls.end(), [&](const Call& call) {
                       return call.name == "fdatasync" && call.fd == written->fd && call.result == 0 &&
                              call.start > written->end && call.end < ack.start;
                   });
    if (!flushed)
        verdict.faults.push_back("ACK of " + lease.first + " at line " + std::to_string(ack.start + 1) +
                                 ": its lease " + (written ? "was not flushed" : "was not written") + " before");
}

// Walks the calls in trace order: a write to the journal makes its fd unflushed until an
// fdatasync that began after every write so far ends well; an ACK finds no journal fd unflushed.
Verdict check(const std::vector<Call>& calls, const LeaseFile& file) {
    auto isJournal = [&](const Call& call) {
        return call.path == file.journalURL().string() || call.path == file.nextJournalURL().string();
    };
    struct Moment {
        std::size_t line;
        bool begins;
        const Call* call;
    };
    std::vector<Moment> moments;
    for (const auto& call : calls) {
        moments.push_back({call.start, true, &call});
        moments.push_back({call.end, false, &call});
    }
    std::stable_sort(moments.begin(), moments.end(), [](const Moment& a, const Moment& b) {
        return a.line != b.line ? a.line < b.line : a.begins > b.begins;
    });
    struct JournalFD {
        int writesOut = 0;
        std::size_t lastWriteStart = 0;
        bool unflushed = false;
    };
    std::map<int, JournalFD> journals;
    std::map<const Call*, bool> syncCoversAll;
    int journalWrites = 0;
    Verdict verdict;
    for (const auto& moment : moments) {
        const Call& call = *moment.call;
        bool write = call.name == "pwrite64" || call.name == "write";
        if (write && isJournal(call)) {
            auto& journal = journals[call.fd];
            if (moment.begins) {
                ++journal.writesOut;
                ++journalWrites;
                journal.lastWriteStart = call.start;
                journal.unflushed = true;
            } else {
                --journal.writesOut;
            }
        } else if (call.name == "fdatasync" && isJournal(call)) {
            auto& journal = journals[call.fd];
            if (moment.begins) {
                syncCoversAll[&call] = journal.writesOut == 0;
            } else if (call.result == 0 && syncCoversAll[&call] && journal.lastWriteStart < call.start) {
                journal.unflushed = false;
                ++verdict.journalFlushes;
            }
        } else if ((call.name == "sendto" || call.name == "sendmsg") && moment.begins) {
            auto lease = ackedLease(call.payload);
            if (!lease) continue;
            ++verdict.acks;
            checkOwnRecord(call, *lease, calls, isJournal, verdict);
            if (journalWrites == 0)
                verdict.faults.push_back("ACK at line " + std::to_string(call.start + 1) + " before any journal write");
            for (const auto& [fd, journal] : journals)
                if (journal.unflushed)
                    verdict.faults.push_back("ACK at line " + std::to_string(call.start + 1) + " while fd " +
                                             std::to_string(fd) + " has a write from line " +
                                             std::to_string(journal.lastWriteStart + 1) + " not yet flushed");
        }
    }
    return verdict;
}

// The server is strace's child; interrupting strace itself would only detach it.
pid_t tracedChild(pid_t tracer) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        std::ifstream children("/proc/" + std::to_string(tracer) + "/task/" + std::to_string(tracer) + "/children");
        pid_t child = 0;
        if (children >> child && child > 0) return child;
        usleep(10'000);
    }
    return -1;
}

TEST(AckOrder, everyAckIsSentAfterAnFdatasyncOfTheJournalThatFollowsItsLastWrite) {
    auto strace = programOnPath("strace");
    if (!strace) GTEST_SKIP() << "strace is not installed (scripts/install-deps.sh installs it)";
    fs::path folder = fs::temp_directory_path() / ("anvil-ack-order-" + std::to_string(getpid()));
    fs::create_directories(folder);
    LeaseFile file(folder / "leases.json");
    auto tracePath = folder / "trace";

    auto port = freeLoopbackPort();
    auto clientPort = freeLoopbackPort();
    // LeakSanitizer cannot run under ptrace: a sanitizer build would end the traced server with its error.
    const char* sanitizerOptions = std::getenv("ASAN_OPTIONS");
    std::string withoutLeakCheck = std::string(sanitizerOptions ? sanitizerOptions : "") + ":detect_leaks=0";
    load::LoadResult result;
    {
        ServeProcess serve({"serve", "--test-loopback", "--port", std::to_string(port), "--client-port",
                            std::to_string(clientPort), "--leases", file.url.string(), "--json"},
                           {*strace, "-f", "-y", "-xx", "-s", "65536", "-e",
                            "trace=pwrite64,write,fdatasync,sendto,sendmsg", "-o", tracePath.string()},
                           {{"ASAN_OPTIONS", withoutLeakCheck}});
        ASSERT_TRUE(serve.waitForOutput(R"("event":"started")", std::chrono::seconds(30))) << serve.err();

        load::LoadOptions options;
        options.serverPort = port;
        options.clientPort = clientPort;
        options.devices = 8;  // at once, so that flushes are shared
        options.exchanges = 300;
        options.newDevices = true;
        options.stepTimeoutMs = 3000;
        options.retries = 5;
        options.macSalt = 0xAC;
        result = load::runLoad(options);

        auto server = tracedChild(serve.pid());
        ASSERT_GT(server, 0);
        kill(server, SIGINT);
        EXPECT_EQ(serve.waitForExit(std::chrono::seconds(30)), 0) << serve.err();
    }
    EXPECT_GT(result.completed, 0) << result.summary();

    auto verdict = check(parseTrace(readWhole(tracePath.string())), file);
    EXPECT_GE(verdict.acks, 1) << "the trace must hold ACKs to prove anything";
    EXPECT_GE(verdict.acks, result.completed) << "every ACK the clients got was traced";
    EXPECT_GE(verdict.journalFlushes, 1);
    EXPECT_TRUE(verdict.faults.empty()) << verdict.faults.size() << " faults, the first: " << verdict.faults.front()
                                        << " (the trace stays at " << tracePath.string() << ")";
    if (verdict.faults.empty()) fs::remove_all(folder);
}

// The checker itself, over small hand-written traces: each row must find exactly its faults.
TEST(AckOrder, theTraceCheckerFindsAnAckThatOvertakesItsFlush) {
    LeaseFile file("/tmp/l.json");
    auto hex = [](const std::string& text) {
        std::string out;
        char byte[5];
        for (unsigned char c : text) {
            std::snprintf(byte, sizeof byte, "\\x%02x", c);
            out += byte;
        }
        return out;
    };
    DHCPPacket ack;
    ack.op = 2;
    ack.chaddr[0] = 0x02;
    ack.chaddr[5] = 0x01;
    ack.yiaddr = IPv4Address(10, 0, 0, 5);
    ack.setOption(OptionCode::messageType, {rawValue(DHCPMessageType::ack)});
    auto ackBytes = ack.serialize();
    std::string ackHex = hex(std::string(ackBytes.begin(), ackBytes.end()));
    std::string journal = "7<" + hex("/tmp/l.json.journal") + ">";
    auto lease = [&](const std::string& mac) {
        return hex(R"({"mac":")" + mac + R"(","ip":"10.0.0.5","state":"bound","expiresAt":"x"})");
    };
    std::string write = "pwrite64(" + journal + ", \"" + lease("02:00:00:00:00:01") + "\", 1, 40) = 1";
    std::string otherWrite = "pwrite64(" + journal + ", \"" + lease("02:00:00:00:00:02") + "\", 1, 40) = 1";
    std::string sync = "fdatasync(" + journal + ") = 0";
    std::string send = "sendto(5<" + hex("UDP:[1]") + ">, \"" + ackHex + "\", 300, 0, NULL, 0) = 300";

    struct Row {
        const char* name;
        std::vector<std::string> lines;
        std::size_t faults;
    };
    const Row rows[] = {
        {"flushed, then sent", {"1 " + write, "1 " + sync, "2 " + send}, 0},
        {"sent before the flush", {"1 " + write, "2 " + send, "1 " + sync}, 2},
        {"sent before its record was written", {"1 " + otherWrite, "1 " + sync, "2 " + send, "1 " + write}, 1},
        {"a write after the flush", {"1 " + write, "1 " + sync, "1 " + otherWrite, "2 " + send}, 1},
        {"a failed flush", {"1 " + write, "1 fdatasync(" + journal + ") = -1 EIO", "2 " + send}, 2},
        {"a write that ends inside the flush",
         {"1 pwrite64(" + journal + ", \"" + lease("02:00:00:00:00:01") + "\", 1, 40 <unfinished ...>",
          "3 fdatasync(" + journal + ") = 0", "1 <... pwrite64 resumed>) = 1", "2 " + send},
         2},
        {"a flush interrupted by the reply's thread",
         {"1 " + write, "1 fdatasync(" + journal + " <unfinished ...>", "2 " + send, "1 <... fdatasync resumed>) = 0"},
         2},
    };
    for (const auto& row : rows) {
        std::string text;
        for (const auto& line : row.lines) text += line + "\n";
        auto verdict = check(parseTrace(text), file);
        EXPECT_EQ(verdict.acks, 1) << row.name;
        EXPECT_EQ(verdict.faults.size(), row.faults) << row.name;
    }
}

}  // namespace
