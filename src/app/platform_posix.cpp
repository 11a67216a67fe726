#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/errors.h"
#include "app/platform.h"

namespace twr::platform {

namespace {

[[noreturn]] void ThrowErrno(const fs::path& path, int err) {
    if (err == ENOENT) throw IoError("Could not find file '" + PathText(path) + "'.", err);
    if (err == EACCES || err == EPERM)
        throw IoError("Access to the path '" + PathText(path) + "' is denied.", err);
    throw IoError(std::string(std::strerror(err)) + " : '" + PathText(path) + "'", err);
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

void WriteAll(int fd, std::string_view bytes, const fs::path& path) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno(path, errno);
        }
        done += static_cast<size_t>(n);
    }
}

}  // namespace

std::optional<std::string> GetEnv(const char* name) {
    const char* v = std::getenv(name);
    if (!v) return std::nullopt;
    return std::string(v);
}

std::string DecimalSeparator() { return "."; }

fs::path ProfileDir() {
    auto home = GetEnv("HOME");
    return home ? U8Path(*home) : fs::path("/tmp");
}

fs::path ExePath() {
    std::error_code ec;
    auto p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : p;
}

fs::path TempDir() {
    std::error_code ec;
    auto p = fs::temp_directory_path(ec);
    return ec ? fs::path("/tmp") : p;
}

void CreateDirectories(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) ThrowErrno(dir, ec.value());
}

bool FileExists(const fs::path& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const fs::path& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<uint64_t> FileSize(const fs::path& path) noexcept {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

void AppendToFile(const fs::path& path, std::string_view bytes) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.get() < 0) ThrowErrno(path, errno);
    WriteAll(fd.get(), bytes, path);
}

std::string ReadFileBytes(const fs::path& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) ThrowErrno(path, errno);
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno(path, errno);
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

void WriteFileDurable(const fs::path& path, std::string_view bytes) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) ThrowErrno(path, errno);
    WriteAll(fd.get(), bytes, path);
    if (::fsync(fd.get()) != 0) ThrowErrno(path, errno);
}

void MoveReplace(const fs::path& from, const fs::path& to, bool writeThrough) {
    if (::rename(from.c_str(), to.c_str()) != 0) ThrowErrno(from, errno);
    if (writeThrough) {
        Fd dir(::open(to.parent_path().empty() ? "." : to.parent_path().c_str(), O_RDONLY | O_CLOEXEC));
        if (dir.get() >= 0) ::fsync(dir.get());
    }
}

void CopyFileReplace(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) ThrowErrno(from, ec.value());
}

void DeleteFileIfExists(const fs::path& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) ThrowErrno(path, errno);
}

std::optional<uint64_t> FreeSpace(const fs::path& path) noexcept {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

LocalTime ToLocal(int64_t unixMillis) {
    time_t secs = static_cast<time_t>(unixMillis / 1000);
    int ms = static_cast<int>(unixMillis % 1000);
    if (ms < 0) { ms += 1000; --secs; }
    struct tm tm {};
    localtime_r(&secs, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms};
}

int64_t UnixMillisNow() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

LocalTime Now() { return ToLocal(UnixMillisNow()); }

double MonotonicSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void SetNativeThreadName(const std::string& name) noexcept {
    std::string shortName = name.substr(0, 15);  // the kernel keeps 15 bytes
    pthread_setname_np(pthread_self(), shortName.c_str());
}

uint32_t ProcessId() noexcept { return static_cast<uint32_t>(::getpid()); }

}  // namespace twr::platform
