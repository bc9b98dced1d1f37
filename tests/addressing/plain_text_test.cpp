#include "core/addressing/plain_text.hpp"

#include <gtest/gtest.h>

namespace anvil {
namespace {

TEST(PlainText, showsControlBytesEscapedAndKeepsPrintableTextAndUTF8) {
    struct Case {
        std::string raw, shown;
    };
    const Case cases[] = {
        {"eth0", "eth0"},
        {"Wired connection 1", "Wired connection 1"},
        {"$(touch /tmp/x) `id` \\x41 <b>", "$(touch /tmp/x) `id` \\x41 <b>"},
        // Terminal sequences: colour, cursor movement, a window title, a clear screen.
        {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
        {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},
        {"a\x1b[2J\x1b[H", "a\\x1b[2J\\x1b[H"},
        {"line\nfake row\r", "line\\x0afake row\\x0d"},
        {"tab\there", "tab\\x09here"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"del\x7f", "del\\x7f"},
        // UTF-8 stays: a circle, an accented name, an emoji.
        {"\u25cf Caf\u00e9 \U0001F600", "\u25cf Caf\u00e9 \U0001F600"},
        // C1 controls in UTF-8 (CSI, NEL), which some terminals obey, and malformed sequences.
        {"\xc2\x9b" "31m", "\\xc2\\x9b31m"},
        {"x\xc2\x85y", "x\\xc2\\x85y"},
        {"\xff\xfe", "\\xff\\xfe"},
        {"\xc3", "\\xc3"},
        {"\xc0\x80", "\\xc0\\x80"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(plainText(c.raw), c.shown) << c.shown;
}

}  // namespace
}  // namespace anvil
