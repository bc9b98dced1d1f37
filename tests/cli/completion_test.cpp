// The bash completion, sourced in a real bash with `dhcpanvil list` played by a function.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "core/host/process_runner.hpp"

namespace {

namespace fs = std::filesystem;

TEST(Completion, cardNamesAreOfferedAsPlainWordsAndNeverRun) {
    if (::access("/bin/bash", X_OK) != 0) GTEST_SKIP() << "bash is missing";
    auto marker = fs::temp_directory_path() / ("anvil-completion-" + std::to_string(::getpid()));
    fs::remove(marker);
    // Card lines as `dhcpanvil list` prints them: the first word is the kernel's name, which any
    // program with the right to make cards chooses.
    // A kernel name holds no blank, so ${IFS} stands in for one.
    const std::string hostile = "en$(touch${IFS}" + marker.string() + ")";
    const std::string quoted = "`touch${IFS}" + marker.string() + "`";
    const std::string script = R"(
_init_completion() {
    cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
}
source ")" + std::string(ANVIL_SOURCE_DIR) + R"(/cli/completion/dhcpanvil"
dhcpanvil() {
    printf '%s\n' 'eno1    Intel  service: Wired  aa:bb:cc:dd:ee:ff  x' \
        ')" + quoted + R"(  Odd  service: none  -  x' \
        ')" + hostile + R"(  Odd  service: none  -  x' 'en*  Glob  service: none  -  x'
}
COMP_WORDS=(dhcpanvil serve --iface "$1") COMP_CWORD=3
_dhcpanvil
printf '[%s]' "${COMPREPLY[@]}"
)";
    struct Case {
        std::string typed, offered;
    };
    const Case cases[] = {
        {"", "[eno1][" + quoted + "][" + hostile + "][en*]"},
        {"en", "[eno1][" + hostile + "][en*]"},
        {"en$", "[" + hostile + "]"},
        {"en*", "[en*]"},
        {"eno", "[eno1]"},
        {"wl", "[]"},
    };
    for (const auto& c : cases) {
        auto output = anvil::ProcessRunner::run("/bin/bash", {"-c", script, "bash", c.typed});
        EXPECT_EQ(output.status, 0) << output.text;
        EXPECT_EQ(output.text, c.offered) << "typed: " << c.typed;
        EXPECT_FALSE(fs::exists(marker)) << "typed: " << c.typed;
    }
    fs::remove(marker);
}

}  // namespace
