#include "core/run/log_file_writer.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "core/addressing/private_files.hpp"

namespace anvil {

namespace {

bool isAbsolute(const char* path) { return path && path[0] == '/'; }

// The account's home folder: HOME when it is an absolute path, else the password database. Never
// a shared folder such as /tmp, where another user could make the folder first.
std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); isAbsolute(home)) return home;
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        isAbsolute(found->pw_dir))
        return found->pw_dir;
    return {};
}

// One write of the whole line, with its line feed, so that lines never interleave. A short write
// (a full disk) is cut back to the line's start, so the next line does not join a fragment. The
// folder and the file are opened without following a symbolic link.
void appendLine(const std::filesystem::path& directory, const std::string& name, const std::string& text) {
    PrivateFiles::createDirectories(directory);
    int folder = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) return;
    int fd = PrivateFiles::openOrCreate(folder, name, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    ::close(folder);
    if (fd < 0) return;
    auto written = ::write(fd, text.data(), text.size());
    if (written > 0 && static_cast<std::size_t>(written) < text.size()) {
        auto end = ::lseek(fd, 0, SEEK_CUR);
        // Nothing more to do if the cut fails too: the next line then follows the fragment.
        if (end >= written && ::ftruncate(fd, end - written) != 0) {
        }
    }
    ::close(fd);
}

}  // namespace

LogFileWriter::LogFileWriter(std::filesystem::path directory) : directory_(std::move(directory)) {}

std::filesystem::path LogFileWriter::defaultDirectory() {
    // A relative XDG_STATE_HOME is invalid and ignored.
    if (const char* state = std::getenv("XDG_STATE_HOME"); isAbsolute(state))
        return std::filesystem::path(state) / "DHCP Anvil" / "logs";
    auto home = homeDirectory();
    if (home.empty()) return {};
    return home / ".local" / "state" / "DHCP Anvil" / "logs";
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
        if (directory_.empty()) return;
        appendLine(directory_, fileName(date), line + "\n");
    });
}

void LogFileWriter::flush() {
    queue_.sync([] {});
}

}  // namespace anvil
