#pragma once
// A network-boot bench: the server's card in one namespace, a device namespace whose bridge joins
// the card's peer to a tap that a qemu machine uses, and the machine's serial console read by the
// test. The boot server is dhcpanvil, or dnsmasq when ANVIL_BOOT_STANDIN=dnsmasq (to check the
// bench itself). Everything it makes is removed however a test ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include <iterator>
#include <optional>
#include <random>

#include "tests/e2e/field_bench.hpp"

namespace anvil::boot {

using namespace std::chrono_literals;
using field::Child;
using field::ip;
using field::TempFolder;

// A boot kind's file, as `--boot-file KIND=NAME,…` names it.
using BootFiles = std::vector<std::pair<std::string, std::string>>;

inline bool standInServer() {
    const char* value = std::getenv("ANVIL_BOOT_STANDIN");
    return value && std::string(value) == "dnsmasq";
}

inline std::string randomToken() {
    std::random_device device;
    return std::to_string(device()) + std::to_string(device());
}

// CRC-32 as U-Boot's `crc32` prints it (IEEE 802.3, reflected).
inline std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xffffffffu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// `size` random bytes written to `path`; returns their CRC-32.
inline std::uint32_t writeRandomFile(const std::string& path, std::size_t size) {
    std::mt19937 generator(std::random_device{}());
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xff);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return crc32(bytes);
}

inline std::string fileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The server namespace with card "enb<pid>" at 10.67.0.1/24, and the device namespace where a
// bridge joins the card's peer and the tap "tap0" that qemu opens.
struct DeviceBench {
    std::string tag = std::to_string(::getpid() % 100000);
    std::string serverNS = "anvil-bsrv-" + tag;
    std::string deviceNS = "anvil-bdev-" + tag;
    std::string card = "enb" + tag;
    std::string serverAddress = "10.67.0.1";
    std::string error;

    DeviceBench() {
        run({"netns", "add", serverNS});
        run({"netns", "add", deviceNS});
        run({"link", "add", card, "netns", serverNS, "address", "02:67:00:00:00:01", "type", "veth", "peer", "name",
             "uplink", "netns", deviceNS});
        run({"-n", serverNS, "address", "add", serverAddress + "/24", "dev", card});
        run({"-n", deviceNS, "link", "add", "br0", "type", "bridge", "forward_delay", "0", "stp_state", "0"});
        run({"-n", deviceNS, "tuntap", "add", "dev", "tap0", "mode", "tap"});
        run({"-n", deviceNS, "link", "set", "uplink", "master", "br0"});
        run({"-n", deviceNS, "link", "set", "tap0", "master", "br0"});
        for (const char* link : {"lo", "uplink", "tap0", "br0"}) run({"-n", deviceNS, "link", "set", link, "up"});
        run({"-n", serverNS, "link", "set", "lo", "up"});
        run({"-n", serverNS, "link", "set", card, "up"});
    }
    ~DeviceBench() {
        ip({"netns", "delete", deviceNS});
        ip({"netns", "delete", serverNS});
    }
    DeviceBench(const DeviceBench&) = delete;
    DeviceBench& operator=(const DeviceBench&) = delete;

    void run(const std::vector<std::string>& arguments) {
        auto output = ip(arguments);
        if (output.status != 0 && error.empty()) error = "ip " + arguments[0] + " " + arguments[1] + ": " + output.text;
    }
};

// A qemu machine in a namespace, its serial console on pipes: everything it printed is kept as
// one text (firmware prompts end without a newline). Killed with its group when it goes.
class Console {
public:
    Console(const std::string& ns, const std::vector<std::string>& command) {
        int output[2], input[2];
        if (::pipe2(output, O_CLOEXEC) != 0) return;
        if (::pipe2(input, O_CLOEXEC) != 0) {
            ::close(output[0]);
            ::close(output[1]);
            return;
        }
        std::vector<std::string> arguments{field::ipTool, "netns", "exec", ns};
        arguments.insert(arguments.end(), command.begin(), command.end());
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::dup2(input[0], STDIN_FILENO);
            ::dup2(output[1], STDOUT_FILENO);
            ::dup2(output[1], STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(output[1]);
        ::close(input[0]);
        input_ = input[1];
        if (pid_ < 0) {
            ::close(output[0]);
            return;
        }
        ::setpgid(pid_, pid_);
        reader_ = std::thread([this, fd = output[0]] { read(fd); });
    }
    ~Console() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (input_ >= 0) ::close(input_);
        if (reader_.joinable()) reader_.join();
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void type(const std::string& keys) {
        if (input_ >= 0 && ::write(input_, keys.data(), keys.size()) < 0) {}
    }

    // The offset just past the first `text` at or after `from`, or npos when none came in time
    // (or the machine ended).
    std::size_t waitFor(const std::string& text, std::chrono::milliseconds limit, std::size_t from = 0) {
        std::unique_lock lock(mutex_);
        std::size_t found = std::string::npos;
        changed_.wait_for(lock, limit, [&] {
            auto at = text_.find(text, std::min(from, text_.size()));
            if (at != std::string::npos) found = at + text.size();
            return found != std::string::npos || closed_;
        });
        return found;
    }

    std::string text() {
        std::lock_guard lock(mutex_);
        return text_;
    }

    // The console without carriage returns and terminal control sequences, for failure messages.
    std::string printable() {
        std::string shown;
        for (char c : text())
            if (c == '\n' || (c >= 0x20 && c < 0x7f)) shown += c;
        return shown.size() > 6000 ? shown.substr(shown.size() - 6000) : shown;
    }

private:
    void read(int fd) {
        char buffer[4096];
        ssize_t count;
        while ((count = ::read(fd, buffer, sizeof buffer)) > 0) {
            std::lock_guard lock(mutex_);
            // Bounded: a firmware stuck in a loop of messages cannot grow the test without end.
            if (text_.size() < (8u << 20)) text_.append(buffer, static_cast<std::size_t>(count));
            changed_.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    int input_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
    bool closed_ = false;
};

// qemu's arguments shared by every machine: software emulation, little memory, the bench's tap,
// the serial console on standard input and output.
inline std::vector<std::string> machine(const std::string& program, const std::string& nic, const std::string& mac,
                                        const std::vector<std::string>& extra) {
    std::vector<std::string> command{program, "-accel",   "tcg",  "-m",      "256",     "-nographic",
                                     "-no-reboot", "-serial", "stdio", "-monitor", "none", "-display",
                                     "none",       "-netdev", "tap,id=n0,ifname=tap0,script=no,downscript=no",
                                     "-device",    nic + ",netdev=n0,mac=" + mac};
    command.insert(command.end(), extra.begin(), extra.end());
    return command;
}

// The server under test on the bench's card: DHCP with boot files, or TFTP alone when `files` is
// empty. dhcpanvil, or dnsmasq standing in.
class BootServer {
public:
    BootServer(const std::string& ns, const std::string& card, const std::string& cardAddress,
               const std::string& folder, const TempFolder& temp, const BootFiles& files,
               const std::vector<std::string>& extra = {}) {
        std::vector<std::string> command;
        std::string ready;
        auto prefix = cardAddress.substr(0, cardAddress.rfind('.') + 1);
        if (standInServer()) {
            command = {"/usr/sbin/dnsmasq", "--no-daemon",  "--port=0", "--interface=" + card, "--bind-interfaces",
                       "--no-resolv",       "--no-hosts",   "--user=root", "--log-dhcp", "--enable-tftp",
                       "--tftp-root=" + folder, "--tftp-max=16", "--dhcp-leasefile=" + temp / "dnsmasq.leases"};
            if (!files.empty()) command.push_back("--dhcp-range=" + prefix + "100," + prefix + "150,1h");
            for (const auto& [kind, name] : files) {
                if (kind == "ipxe") command.push_back("--dhcp-userclass=set:ipxe,iPXE");
                if (kind == "bios") command.push_back("--dhcp-match=set:bios,option:client-arch,0");
                if (kind == "efi-x64") command.push_back("--dhcp-match=set:efi-x64,option:client-arch,7");
                if (kind == "uboot") command.push_back("--dhcp-vendorclass=set:uboot,U-Boot");
                auto tags = kind == "ipxe" ? std::string("tag:ipxe,") : kind.empty() ? "tag:!ipxe," : "tag:!ipxe,tag:" + kind + ",";
                command.push_back("--dhcp-boot=" + tags + name + ",," + cardAddress);
            }
            ready = "started";
        } else {
            command = {ANVIL_DHCPANVIL_PATH, "serve", "--iface", card, "--server", cardAddress + "/24", "--range",
                       prefix + "100-" + prefix + "150", "--leases", temp / "leases.json", "--boot", folder};
            std::string list;
            for (const auto& [kind, name] : files) list += (list.empty() ? "" : ",") + (kind.empty() ? name : kind + "=" + name);
            if (!list.empty()) command.insert(command.end(), {"--boot-file", list});
            ready = "START";
        }
        command.insert(command.end(), extra.begin(), extra.end());
        process = std::make_unique<Child>(ns, command,
                                          std::vector<std::string>{"HOME=" + temp.path.string(),
                                                                   "XDG_STATE_HOME=" + (temp / "state"),
                                                                   "XDG_DATA_HOME=" + (temp / "data")});
        started = process->waitForLine(ready, 10s) >= 0;
        // Until it serves boot files the program refuses the options; the tests then skip.
        lacksBoot = !started && process->output().find("unknown option --boot") != std::string::npos;
    }

    std::string name() const { return standInServer() ? "dnsmasq" : "dhcpanvil"; }
    // What the server prints when a transfer ends for want of acknowledgements.
    std::string timedOutLine() const { return standInServer() ? "failed" : "timed out"; }

    std::unique_ptr<Child> process;
    bool started = false;
    bool lacksBoot = false;
};

// A socket in namespace `ns` (the calling thread's own namespace is left as it was).
inline int udpSocketIn(const std::string& ns, const std::string& address = "") {
    int fd = -1;
    std::thread([&] {
        int nsFD = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFD < 0) return;
        if (::setns(nsFD, CLONE_NEWNET) == 0) fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::close(nsFD);
        if (fd < 0 || address.empty()) return;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd);
            fd = -1;
        }
    }).join();
    return fd;
}

// A read request with options as name/value pairs (RFC 1350, 2347).
inline std::string readRequest(const std::string& file, const std::vector<std::pair<std::string, std::string>>& options = {}) {
    std::string bytes{'\0', '\1'};
    bytes += file + '\0' + "octet" + '\0';
    for (const auto& [name, value] : options) bytes += name + '\0' + value + '\0';
    return bytes;
}

struct Datagram {
    std::string bytes;
    std::uint16_t fromPort = 0;
    std::uint16_t opcode() const {
        return bytes.size() < 2 ? 0 : static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[0]) << 8 | static_cast<unsigned char>(bytes[1]));
    }
};

inline bool sendTo(int fd, const std::string& address, std::uint16_t port, const std::string& bytes) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &target.sin_addr);
    return ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target) ==
           static_cast<ssize_t>(bytes.size());
}

inline std::optional<Datagram> receive(int fd, std::chrono::milliseconds limit) {
    pollfd wanted{fd, POLLIN, 0};
    if (::poll(&wanted, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
    char buffer[65536];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    auto count = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (count < 0) return std::nullopt;
    return Datagram{std::string(buffer, static_cast<std::size_t>(count)), ntohs(from.sin_port)};
}

// UDP sockets open in a namespace other than the DHCP and TFTP ports, read from the namespace's
// table through a process in it.
inline int transferSockets(pid_t inNamespace) {
    std::ifstream table("/proc/" + std::to_string(inNamespace) + "/net/udp");
    int count = 0;
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        auto port = std::stoul(local.substr(local.find(':') + 1), nullptr, 16);
        if (port != 67 && port != 68 && port != 69) ++count;
    }
    return count;
}

}  // namespace anvil::boot
