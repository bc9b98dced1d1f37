// Real boot firmware in qemu booting from the server over a bridge: qemu's own iPXE ROM under
// SeaBIOS, OVMF's UEFI PXE chaining to iPXE, and U-Boot fetching a file over TFTP.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "tests/e2e/boot_firmware.hpp"

namespace anvil::boot {
namespace {

constexpr auto machineLimit = 90s;

class BootFirmwareTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "end-to-end tests need root to create network namespaces";
        if (::access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/net/tun for qemu's tap";
        folder = temp / "boot";
        std::filesystem::create_directory(folder);
        bench = std::make_unique<DeviceBench>();
        if (!bench->error.empty()) GTEST_SKIP() << "cannot build the namespaces: " << bench->error;
    }

    void TearDown() override {
        if (HasFailure()) {
            if (console) std::printf("console:\n%s\n", console->printable().c_str());
            if (server && server->process) std::printf("server output:\n%s", server->process->output().c_str());
        }
        // The machine and the server end before their namespaces go.
        console.reset();
        server.reset();
        bench.reset();
    }

    void requireFiles(const std::vector<std::string>& paths) {
        for (const auto& path : paths)
            if (::access(path.c_str(), R_OK) != 0)
                GTEST_SKIP() << path << " is missing; run scripts/install-deps.sh as root";
    }

    void serve(const BootFiles& files) {
        server = std::make_unique<BootServer>(bench->serverNS, bench->card, bench->serverAddress, folder, temp, files);
        if (server->lacksBoot) GTEST_SKIP() << "this dhcpanvil does not serve boot files yet";
        ASSERT_TRUE(server->started) << server->process->output();
    }

    // An iPXE script that prints a marker no firmware prints by itself.
    std::string writeMarkerScript() {
        auto marker = "anvil-booted-" + randomToken();
        field::writeFile(folder + "/boot.ipxe", "#!ipxe\necho " + marker + "\n");
        return marker;
    }

    static std::size_t occurrences(const std::string& text, const std::string& part) {
        std::size_t count = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
        return count;
    }

    TempFolder temp;
    std::string folder;
    std::unique_ptr<DeviceBench> bench;
    std::unique_ptr<BootServer> server;
    std::unique_ptr<Console> console;
};

// qemu's network ROM is iPXE: it says so in its user class and must get the script, never the
// BIOS kind's undionly.kpxe (which would load iPXE again, for ever).
TEST_F(BootFirmwareTest, qemuIPXERomUnderSeaBIOSGetsTheScriptNotTheBIOSLoader) {
    requireFiles({"/usr/bin/qemu-system-x86_64", "/usr/lib/ipxe/undionly.kpxe"});
    if (IsSkipped()) return;
    std::filesystem::copy_file("/usr/lib/ipxe/undionly.kpxe", folder + "/undionly.kpxe");
    auto marker = writeMarkerScript();
    serve({{"bios", "undionly.kpxe"}, {"ipxe", "boot.ipxe"}});
    if (IsSkipped() || HasFatalFailure()) return;

    console = std::make_unique<Console>(bench->deviceNS,
                                        machine("/usr/bin/qemu-system-x86_64", "e1000", "52:54:00:67:00:10", {"-boot", "n"}));
    auto booted = console->waitFor(marker, machineLimit);
    ASSERT_NE(booted, std::string::npos) << "the script's marker never appeared";
    auto text = console->text().substr(0, booted);
    EXPECT_NE(text.find("Filename: boot.ipxe"), std::string::npos);
    EXPECT_EQ(occurrences(text, "/boot.ipxe..."), 1u) << "the script is fetched once";
    EXPECT_EQ(text.find("undionly.kpxe"), std::string::npos) << "the ROM was handed the BIOS loader";
}

// OVMF's own virtio-net driver and PXE client (no iPXE ROM on the card) load ipxe.efi as the
// efi-x64 kind; that iPXE asks again with user class iPXE and gets the script.
TEST_F(BootFirmwareTest, ovmfPXEChainsToIPXEWhichGetsTheScript) {
    requireFiles({"/usr/bin/qemu-system-x86_64", "/usr/share/ovmf/OVMF.fd", "/usr/lib/ipxe/ipxe.efi"});
    if (IsSkipped()) return;
    std::filesystem::copy_file("/usr/lib/ipxe/ipxe.efi", folder + "/ipxe.efi");
    auto marker = writeMarkerScript();
    serve({{"efi-x64", "ipxe.efi"}, {"ipxe", "boot.ipxe"}});
    if (IsSkipped() || HasFatalFailure()) return;

    // romfile= leaves the card without qemu's iPXE ROM, so the firmware's PXE does the first step.
    console = std::make_unique<Console>(
        bench->deviceNS, machine("/usr/bin/qemu-system-x86_64", "virtio-net-pci,romfile=", "52:54:00:67:00:11",
                                 {"-bios", "/usr/share/ovmf/OVMF.fd", "-boot", "n"}));
    auto downloaded = console->waitFor("NBP file downloaded successfully", machineLimit);
    ASSERT_NE(downloaded, std::string::npos) << "UEFI PXE did not load ipxe.efi";
    auto booted = console->waitFor(marker, machineLimit, downloaded);
    ASSERT_NE(booted, std::string::npos) << "the script's marker never appeared";
    auto afterChain = console->text().substr(downloaded, booted - downloaded);
    EXPECT_NE(afterChain.find("Filename: boot.ipxe"), std::string::npos);
    EXPECT_EQ(afterChain.find("ipxe.efi"), std::string::npos) << "iPXE was handed itself again";
}

// U-Boot's dhcp and tftpboot over virtio-net: the size and CRC-32 it computes of what it loaded
// are the file's. Three megabytes take the transfer through thousands of blocks.
TEST_F(BootFirmwareTest, uBootLoadsAFileWhoseSizeAndCRCMatch) {
    const std::string firmware = "/usr/lib/u-boot/qemu_arm64/u-boot.bin";
    requireFiles({"/usr/bin/qemu-system-aarch64", firmware});
    if (IsSkipped()) return;
    const std::size_t size = 3 * 1024 * 1024 + 12345;
    auto crc = writeRandomFile(folder + "/kernel.bin", size);
    serve({{"uboot", "kernel.bin"}});
    if (IsSkipped() || HasFatalFailure()) return;

    console = std::make_unique<Console>(
        bench->deviceNS, machine("/usr/bin/qemu-system-aarch64", "virtio-net-pci,romfile=", "52:54:00:67:00:12",
                                 {"-M", "virt", "-cpu", "cortex-a57", "-bios", firmware}));
    auto prompt = console->waitFor("Hit any key to stop autoboot", machineLimit);
    ASSERT_NE(prompt, std::string::npos) << "U-Boot never offered to stop";
    console->type("\r");
    prompt = console->waitFor("=> ", 10s, prompt);
    ASSERT_NE(prompt, std::string::npos) << "no U-Boot prompt";
    console->type("setenv autoload no; dhcp; tftpboot ${kernel_addr_r} ${bootfile}; crc32 ${kernel_addr_r} ${filesize}\r");
    // crc32 prints "crc32 for <start> ... <end> ==> <crc>"; its line ends the run.
    auto done = console->waitFor("==> ", machineLimit, prompt);
    ASSERT_NE(done, std::string::npos) << "U-Boot's crc32 never ran";
    console->waitFor("\n", 5s, done);
    auto text = console->text();

    // The characters of `allowed` right after the first `label`; empty when the label is missing.
    auto after = [&text](std::string_view label, std::string_view allowed) {
        auto at = text.find(label);
        if (at == std::string::npos) return std::string{};
        auto begin = at + label.size();
        auto end = text.find_first_not_of(allowed, begin);
        return text.substr(begin, (end == std::string::npos ? text.size() : end) - begin);
    };
    auto transferred = after("Bytes transferred = ", "0123456789");
    ASSERT_FALSE(transferred.empty()) << "no transfer";
    EXPECT_EQ(std::stoull(transferred), size);
    char expected[9];
    std::snprintf(expected, sizeof expected, "%08x", crc);
    EXPECT_EQ(after("==> ", "0123456789abcdef"), expected);
}

}  // namespace
}  // namespace anvil::boot
