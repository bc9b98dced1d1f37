#include "core/events/log_file_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace anvil {

namespace {

std::filesystem::path homeDirectory() {
    const char* home = std::getenv("HOME");
    return home && *home ? std::filesystem::path(home) : std::filesystem::path("/tmp");
}

// One write of the whole line, so that lines from one writer never interleave.
void appendLine(const std::filesystem::path& file, const std::string& text) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::size_t written = 0;
    while (written < text.size()) {
        auto count = ::write(fd, text.data() + written, text.size() - written);
        if (count <= 0) break;
        written += static_cast<std::size_t>(count);
    }
    ::close(fd);
}

}  // namespace

LogFileWriter::LogFileWriter(std::filesystem::path directory) : directory_(std::move(directory)) {}

std::filesystem::path LogFileWriter::defaultDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    auto base = state && *state ? std::filesystem::path(state) : homeDirectory() / ".local" / "state";
    return base / "DHCP Anvil" / "logs";
}

std::string LogFileWriter::fileName(Date date) {
    auto seconds = static_cast<std::time_t>(std::floor(date.secondsSince1970));
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char name[32];
    std::snprintf(name, sizeof name, "%04d-%02d-%02d.log", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    return name;
}

void LogFileWriter::append(std::string line, Date date) {
    queue_.async([this, line = std::move(line), date] {
        std::error_code ignored;
        std::filesystem::create_directories(directory_, ignored);
        appendLine(directory_ / fileName(date), line + "\n");
    });
}

void LogFileWriter::flush() {
    queue_.sync([] {});
}

}  // namespace anvil
