#include <windows.h>

#include <algorithm>
#include <string>

#include "app/errors.h"
#include "app/platform.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "recording/audio_file.h"

namespace twr {

namespace {

[[noreturn]] void ThrowFileError(const std::filesystem::path& path, DWORD err) {
    const std::string p = platform::PathText(path);
    if (err == ERROR_FILE_NOT_FOUND) throw IoError("Could not find file '" + p + "'.", err);
    if (err == ERROR_PATH_NOT_FOUND) throw IoError("Could not find a part of the path '" + p + "'.", err);
    if (err == ERROR_ACCESS_DENIED) throw IoError("Access to the path '" + p + "' is denied.", err);
    if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) throw FileExistsError("The file '" + p + "' already exists.", err);
    if (err == ERROR_SHARING_VIOLATION)
        throw IoError("The process cannot access the file '" + p + "' because it is being used by another process.",
                      err);
    throw IoError(win::SystemMessage(err) + " : '" + p + "'", err);
}

OVERLAPPED At(uint64_t offset) noexcept {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

// Synchronous handle; positional reads and writes go through OVERLAPPED offsets.
class WinAudioFile final : public AudioFile {
public:
    WinAudioFile(std::filesystem::path path, win::unique_hfile handle)
        : path_(std::move(path)), handle_(std::move(handle)) {}

    size_t ReadAt(uint64_t offset, void* buffer, size_t size) override {
        size_t done = 0;
        while (done < size) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
            OVERLAPPED o = At(offset + done);
            DWORD n = 0;
            if (!::ReadFile(Handle(), static_cast<uint8_t*>(buffer) + done, chunk, &n, &o)) {
                const DWORD err = ::GetLastError();
                if (err == ERROR_HANDLE_EOF) break;
                ThrowFileError(path_, err);
            }
            if (n == 0) break;
            done += n;
        }
        return done;
    }

    void WriteAt(uint64_t offset, const void* data, size_t size) override {
        size_t done = 0;
        while (done < size) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
            OVERLAPPED o = At(offset + done);
            DWORD n = 0;
            if (!::WriteFile(Handle(), static_cast<const uint8_t*>(data) + done, chunk, &n, &o))
                ThrowFileError(path_, ::GetLastError());
            if (n == 0) ThrowFileError(path_, ERROR_WRITE_FAULT);
            done += n;
        }
    }

    uint64_t Size() override {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(Handle(), &size)) ThrowFileError(path_, ::GetLastError());
        return static_cast<uint64_t>(size.QuadPart);
    }

    void Truncate(uint64_t size) override {
        FILE_END_OF_FILE_INFO info{};
        info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
        if (!::SetFileInformationByHandle(Handle(), FileEndOfFileInfo, &info, sizeof info))
            ThrowFileError(path_, ::GetLastError());
    }

    void FlushToDisk() override {
        if (!::FlushFileBuffers(Handle())) ThrowFileError(path_, ::GetLastError());
    }

    void Close() override {
        if (!handle_) return;
        HANDLE h = handle_.release();
        if (!::CloseHandle(h)) ThrowFileError(path_, ::GetLastError());
    }

private:
    HANDLE Handle() const {
        if (!handle_) throw IoError("Cannot access a closed file: '" + platform::PathText(path_) + "'");
        return handle_.get();
    }

    std::filesystem::path path_;
    win::unique_hfile handle_;
};

}  // namespace

std::unique_ptr<AudioFile> OpenAudioFile(const std::filesystem::path& path, FileAccess access) {
    DWORD desired = 0, share = 0, disposition = 0;
    switch (access) {
        case FileAccess::CreateNewWrite:
            // Readers (players, the in-use check, Verify) may look; nobody may write or delete it.
            desired = GENERIC_WRITE;
            share = FILE_SHARE_READ;
            disposition = CREATE_NEW;
            break;
        case FileAccess::ReadShared:
            desired = GENERIC_READ;
            share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            disposition = OPEN_EXISTING;
            break;
        case FileAccess::ReadWriteExclusive:
            desired = GENERIC_READ | GENERIC_WRITE;
            disposition = OPEN_EXISTING;
            break;
        case FileAccess::CreateAlwaysExclusive:
            desired = GENERIC_READ | GENERIC_WRITE;
            disposition = CREATE_ALWAYS;
            break;
    }
    win::unique_hfile h(::CreateFileW(path.c_str(), desired, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
    if (!h) ThrowFileError(path, ::GetLastError());
    return std::make_unique<WinAudioFile>(path, std::move(h));
}

}  // namespace twr
