#pragma once
// The few file operations the recording writer, the verifier and the repair need, with the
// sharing each of them relies on. One implementation per platform (audio_file_win.cpp,
// audio_file_posix.cpp). All reads and writes are positional, so no call depends on a file
// pointer left behind by another one. Failures throw IoError naming the file.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "app/errors.h"

namespace twr {

// A new recording's name was taken by someone else; the only creation failure worth retrying
// under another name.
class FileExistsError : public IoError {
public:
    using IoError::IoError;
    [[nodiscard]] const char* TypeName() const noexcept override { return "IoError"; }
};

enum class FileAccess {
    // A new recording: write only, fails when the name exists; others may read, not write or delete.
    CreateNewWrite,
    // Inspecting a file that may still be written: read only; others may read and write.
    ReadShared,
    // Patching a file in place: read and write; nobody else may open it meanwhile.
    ReadWriteExclusive,
    // A backup copy: created or truncated, read and write; nobody else may open it meanwhile.
    CreateAlwaysExclusive,
};

class AudioFile {
public:
    virtual ~AudioFile() = default;
    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;

    // Reads up to size bytes at offset; returns fewer only at the end of the file.
    [[nodiscard]] virtual size_t ReadAt(uint64_t offset, void* buffer, size_t size) = 0;
    // Writes all bytes at offset, extending the file as needed.
    virtual void WriteAt(uint64_t offset, const void* data, size_t size) = 0;
    [[nodiscard]] virtual uint64_t Size() = 0;
    virtual void Truncate(uint64_t size) = 0;
    // Forces everything written so far through to the disk.
    virtual void FlushToDisk() = 0;
    // Releases the file; harmless when repeated. Later calls other than Close fail.
    virtual void Close() = 0;

protected:
    AudioFile() = default;
};

// Opens or creates the file with the given access and sharing. Throws IoError (FileExistsError
// when a new file's name exists).
[[nodiscard]] std::unique_ptr<AudioFile> OpenAudioFile(const std::filesystem::path& path, FileAccess access);

}  // namespace twr
