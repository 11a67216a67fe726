#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app/errors.h"
#include "app/platform.h"
#include "recording/audio_file.h"

namespace twr {

namespace {

[[noreturn]] void ThrowErrno(const std::filesystem::path& path, int err) {
    const std::string p = platform::PathText(path);
    if (err == ENOENT) throw IoError("Could not find file '" + p + "'.", err);
    if (err == EACCES || err == EPERM) throw IoError("Access to the path '" + p + "' is denied.", err);
    if (err == EEXIST) throw FileExistsError("The file '" + p + "' already exists.", err);
    throw IoError(std::string(std::strerror(err)) + " : '" + p + "'", err);
}

// Stand-in for the Windows file: POSIX has no share modes, so sharing is not enforced here.
class PosixAudioFile final : public AudioFile {
public:
    PosixAudioFile(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}
    ~PosixAudioFile() override {
        if (fd_ >= 0) ::close(fd_);
    }

    size_t ReadAt(uint64_t offset, void* buffer, size_t size) override {
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::pread(Fd(), static_cast<uint8_t*>(buffer) + done, size - done,
                                static_cast<off_t>(offset + done));
            if (n < 0) {
                if (errno == EINTR) continue;
                ThrowErrno(path_, errno);
            }
            if (n == 0) break;
            done += static_cast<size_t>(n);
        }
        return done;
    }

    void WriteAt(uint64_t offset, const void* data, size_t size) override {
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::pwrite(Fd(), static_cast<const uint8_t*>(data) + done, size - done,
                                 static_cast<off_t>(offset + done));
            if (n < 0) {
                if (errno == EINTR) continue;
                ThrowErrno(path_, errno);
            }
            done += static_cast<size_t>(n);
        }
    }

    uint64_t Size() override {
        struct stat st {};
        if (::fstat(Fd(), &st) != 0) ThrowErrno(path_, errno);
        return static_cast<uint64_t>(st.st_size);
    }

    void Truncate(uint64_t size) override {
        while (::ftruncate(Fd(), static_cast<off_t>(size)) != 0) {
            if (errno != EINTR) ThrowErrno(path_, errno);
        }
    }

    void FlushToDisk() override {
        if (::fsync(Fd()) != 0) ThrowErrno(path_, errno);
    }

    void Close() override {
        if (fd_ < 0) return;
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR) ThrowErrno(path_, errno);
    }

private:
    int Fd() const {
        if (fd_ < 0) throw IoError("Cannot access a closed file: '" + platform::PathText(path_) + "'");
        return fd_;
    }

    std::filesystem::path path_;
    int fd_;
};

}  // namespace

std::unique_ptr<AudioFile> OpenAudioFile(const std::filesystem::path& path, FileAccess access) {
    int flags = O_CLOEXEC;
    switch (access) {
        case FileAccess::CreateNewWrite: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
        case FileAccess::ReadShared: flags |= O_RDONLY; break;
        case FileAccess::ReadWriteExclusive: flags |= O_RDWR; break;
        case FileAccess::CreateAlwaysExclusive: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) ThrowErrno(path, errno);
    return std::make_unique<PosixAudioFile>(path, fd);
}

}  // namespace twr
