#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/errors.h"
#include "app/platform.h"
#include "ui/crash_recovery.h"

namespace twr {

// POSIX has no share modes: only a missing file or a refused open reads as "not in use", and
// any other failure as "in use", the rule the Windows side follows.
bool CrashRecovery::IsInUse(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return false;
    }
    return errno != ENOENT && errno != ENOTDIR && errno != EACCES && errno != EPERM;
}

std::string CrashRecovery::ReadFilePrefix(const std::filesystem::path& path, size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw IoError(std::string(std::strerror(errno)) + " : '" + platform::PathText(path) + "'", errno);
    std::string out;
    char buf[65536];
    while (out.size() < limit) {
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, limit - out.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            throw IoError(std::string(std::strerror(err)) + " : '" + platform::PathText(path) + "'", err);
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

}  // namespace twr
