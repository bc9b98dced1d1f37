#if defined(__linux__)
#include "core/host/linux/text_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace anvil {

std::optional<std::string> LinuxHost::readTextFile(const std::string& path, std::size_t limit) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    bool cut = false;
    while (true) {
        auto count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            close(fd);
            // A sysfs attribute with nothing to say (a down link's speed) fails the read.
            return text.empty() ? std::nullopt : std::optional<std::string>(text);
        }
        if (count == 0) break;
        auto room = limit - text.size();
        if (static_cast<std::size_t>(count) > room) {
            text.append(buffer, room);
            cut = true;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
    close(fd);
    if (cut) {
        auto lastLine = text.rfind('\n');
        text.resize(lastLine == std::string::npos ? 0 : lastLine + 1);
    }
    return text;
}

}  // namespace anvil
#endif
