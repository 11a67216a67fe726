#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/errors.h"
#include "app/platform.h"
#include "selftest/self_test.h"

namespace twr {

// The native build has no windows, so no templates to read.
void SelfTest::TestTemplates(SuiteHarness& h) { h.Section("Dialog templates"); }

// POSIX has no share modes: the file is held open, but nothing keeps a reader out.
std::shared_ptr<void> SelfTest::HoldForWriting(const std::filesystem::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw IoError(std::string(std::strerror(errno)) + " : '" + platform::PathText(path) + "'", errno);
    auto holder = std::shared_ptr<int>(new int(fd), [](int* p) {
        ::close(*p);
        delete p;
    });
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw IoError("write failed: '" + platform::PathText(path) + "'", errno);
    return holder;
}

}  // namespace twr
