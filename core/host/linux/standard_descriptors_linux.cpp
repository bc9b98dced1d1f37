#if defined(__linux__)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/host/standard_descriptors.hpp"

namespace anvil {

void StandardDescriptors::reserve() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // Opened without close-on-exec: it stands for the standard descriptor it fills.
        int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        // Descriptors are handed out lowest first, so this fills `fd`; anything else is not ours.
        if (opened >= 0 && opened != fd) ::close(opened);
    }
}

}  // namespace anvil
#endif
