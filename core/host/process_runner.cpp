#include "core/host/process_runner.hpp"

namespace anvil {

std::string ProcessRunner::repairedUTF8(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        std::uint32_t lowest = 0;
        if (lead < 0x80)
            length = 1;
        else if ((lead & 0xE0) == 0xC0)
            length = 2, lowest = 0x80;
        else if ((lead & 0xF0) == 0xE0)
            length = 3, lowest = 0x800;
        else if ((lead & 0xF8) == 0xF0)
            length = 4, lowest = 0x10000;
        bool valid = length > 0 && i + length <= bytes.size();
        // A byte that cannot lead a sequence (length 0) is replaced below; never shift by it.
        std::uint32_t point = length <= 1 ? lead : lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; valid && k < length; ++k) {
            auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) valid = false;
            point = (point << 6) | (next & 0x3F);
        }
        if (valid && length > 1 && (point < lowest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)))
            valid = false;
        if (valid) {
            text.append(bytes.substr(i, length));
            i += length;
        } else {
            text.append(replacement);
            i += 1;
        }
    }
    return text;
}

ProcessRunner::Output ProcessRunner::timedOutOutput(const std::string& path, const std::vector<std::string>& arguments,
                                                    std::chrono::milliseconds timeLimit) {
    auto baseName = [](const std::string& text) { return text.substr(text.rfind('/') + 1); };
    // Through env the tool is the first word that is not a variable.
    std::string tool = baseName(path);
    if (tool == "env")
        for (const auto& argument : arguments)
            if (argument.find('=') == std::string::npos) {
                tool = baseName(argument);
                break;
            }
    auto seconds = (timeLimit.count() + 999) / 1000;
    return {-1,
            tool + " did not finish within " + std::to_string(seconds) + (seconds == 1 ? " second" : " seconds") +
                " and was stopped.",
            true};
}

}  // namespace anvil
