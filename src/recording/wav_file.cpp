#include "recording/wav_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/errors.h"
#include "app/log.h"
#include "app/platform.h"
#include "recording/audio_file.h"

namespace twr {

namespace {

uint32_t U16(const uint8_t* p) noexcept { return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8; }
uint32_t U32(const uint8_t* p) noexcept { return U16(p) | U16(p + 2) << 16; }
uint64_t U64(const uint8_t* p) noexcept { return U32(p) | static_cast<uint64_t>(U32(p + 4)) << 32; }
bool TagAt(const uint8_t* p, const char* tag) noexcept { return std::memcmp(p, tag, 4) == 0; }

void PutU32(uint8_t* p, uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutU64(uint8_t* p, uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

WavFile::FileOpener& Opener() {
    static WavFile::FileOpener opener;
    return opener;
}

std::unique_ptr<AudioFile> Open(const std::filesystem::path& path, FileAccess access) {
    return Opener() ? Opener()(path, access) : OpenAudioFile(path, access);
}

enum class Form { Other, Riff, Rf64 };

Form FormOf(const uint8_t* buffer, size_t n) noexcept {
    if (n < 4) return Form::Other;
    if (TagAt(buffer, "RF64")) return Form::Rf64;
    if (TagAt(buffer, "RIFF")) return Form::Riff;
    return Form::Other;
}

struct Header {
    std::array<uint8_t, WavFile::kHeaderScan> bytes{};
    size_t n = 0;
};

// Reads min(length, 8192) bytes at the start in one call.
void ReadHeader(AudioFile& file, uint64_t length, Header& header) {
    header.n = file.ReadAt(0, header.bytes.data(), static_cast<size_t>(std::min<uint64_t>(length, WavFile::kHeaderScan)));
}

// The data size a header claims, or -1 when it names none it can stand behind.
int64_t ClaimedDataSize(const uint8_t* b, size_t n, Form form, int64_t dataOffset) noexcept {
    if (form == Form::Rf64) {
        if (n < 36 || !TagAt(b + 12, "ds64")) return -1;
        return static_cast<int64_t>(U64(b + 28));
    }
    if (static_cast<uint64_t>(dataOffset) + 8 > n) return -1;
    return static_cast<int64_t>(U32(b + dataOffset + 4));
}

bool CheckHeader(const uint8_t* b, size_t n, uint64_t length, int expectedChannels, int expectedSampleRate) noexcept {
    if (n < 16) return false;
    const Form form = FormOf(b, n);
    if (form == Form::Other || !TagAt(b + 8, "WAVE")) return false;
    const WavFormat format = WavFile::ReadFormat(b, n);
    if (format.blockAlign < 1) return false;
    const int64_t d = WavFile::IndexOf(b, n, "data");
    if (d < 0) return false;
    const int64_t dataSize = ClaimedDataSize(b, n, form, d);
    if (dataSize <= 0 || dataSize / format.blockAlign < 1) return false;
    // A header that claims audio beyond the end of the file is not a finished recording: readers
    // disagree on what to do with the missing part.
    if (static_cast<uint64_t>(d) + 8 > length || static_cast<uint64_t>(dataSize) > length - (static_cast<uint64_t>(d) + 8))
        return false;
    if (expectedChannels >= 1 && expectedChannels != format.channels) return false;
    if (expectedSampleRate >= 1 && expectedSampleRate != format.sampleRate) return false;
    return true;
}

// Copies the whole file into the backup and forces it to the disk. started tells whether the
// backup file was created (and so any older backup replaced), complete whether it holds every byte.
void WriteBackup(AudioFile& source, uint64_t length, const std::filesystem::path& backupPath, bool& started,
                 bool& complete) {
    auto backup = Open(backupPath, FileAccess::CreateAlwaysExclusive);
    started = true;
    std::vector<uint8_t> chunk(1 << 20);
    uint64_t done = 0;
    while (done < length) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), length - done));
        const size_t got = source.ReadAt(done, chunk.data(), want);
        if (got != want) throw IoError("The file changed while its backup was written");
        backup->WriteAt(done, chunk.data(), got);
        done += got;
    }
    backup->FlushToDisk();
    backup->Close();
    complete = true;
}

// One size field of the header as a repair rewrites it, with the bytes it held before.
struct PatchedField {
    uint64_t offset = 0;
    size_t size = 0;
    uint8_t original[8]{};
    uint8_t value[8]{};
};

// Puts back the fields a failed repair rewrote, in the recording's own file, and nothing else:
// the sizes are all the repair changes, and a copy of the whole backup would bring back whatever
// the backup holds by now, or cut the recording to the backup's length if that has changed.
// Best effort: the backup stays beside the file either way.
void TryRestore(const std::filesystem::path& path, const std::vector<PatchedField>& fields) noexcept {
    try {
        auto file = Open(path, FileAccess::ReadWriteExclusive);
        for (const PatchedField& f : fields) file->WriteAt(f.offset, f.original, f.size);
        file->FlushToDisk();
        file->Close();
    } catch (...) {
        // The repair already reported its failure; the backup remains for the user.
    }
}

void TryDelete(const std::filesystem::path& path) noexcept {
    try {
        platform::DeleteFileIfExists(path);
    } catch (...) {
    }
}

}  // namespace

void WavFile::SetFileOpenerForTesting(FileOpener opener) { Opener() = std::move(opener); }

int64_t WavFile::IndexOf(const uint8_t* buffer, size_t n, std::string_view tag) noexcept {
    if (tag.size() != 4) return -1;
    // Chunk by chunk, not byte by byte: the 64-bit sizes and other chunks' contents can hold the
    // four bytes of a tag.
    uint64_t pos = 12;
    while (pos + 4 <= n) {
        const uint8_t* p = buffer + pos;
        if (std::memcmp(p, tag.data(), 4) == 0) return static_cast<int64_t>(pos);
        if (TagAt(p, "data") || pos + 8 > n) return -1;
        const uint32_t size = U32(p + 4);
        pos += 8 + static_cast<uint64_t>(size) + (size & 1);
    }
    return -1;
}

WavFormat WavFile::ReadFormat(const uint8_t* buffer, size_t n) noexcept {
    const int64_t f = IndexOf(buffer, n, "fmt ");
    if (f < 0 || static_cast<uint64_t>(f) + 24 > n) return {};
    const uint8_t* p = buffer + f;
    WavFormat format;
    format.channels = static_cast<int>(U16(p + 10));
    format.sampleRate = static_cast<int>(std::min<uint32_t>(U32(p + 12), 0x7FFFFFFF));
    format.blockAlign = static_cast<int>(U16(p + 20));
    format.bitsPerSample = static_cast<int>(U16(p + 22));
    return format;
}

bool WavFile::Verify(const std::filesystem::path& path, int expectedChannels, int expectedSampleRate) noexcept {
    try {
        auto file = Open(path, FileAccess::ReadShared);
        const uint64_t length = file->Size();
        if (length < 44) return false;
        auto header = std::make_unique<Header>();
        ReadHeader(*file, length, *header);
        file->Close();
        return CheckHeader(header->bytes.data(), header->n, length, expectedChannels, expectedSampleRate);
    } catch (...) {
        return false;
    }
}

bool WavFile::Repair(const std::filesystem::path& path) noexcept {
    std::filesystem::path backupPath = path;
    backupPath += ".backup";
    std::unique_ptr<AudioFile> file;
    bool backupStarted = false;
    bool backupComplete = false;
    bool modified = false;
    std::vector<PatchedField> fields;
    try {
        // The file is held exclusively from before the backup until the patch is on disk, so the
        // backup is exactly what gets patched and nobody writes in between.
        file = Open(path, FileAccess::ReadWriteExclusive);
        const uint64_t length = file->Size();
        if (length < 44) {
            file->Close();
            return false;
        }
        WriteBackup(*file, length, backupPath, backupStarted, backupComplete);

        auto header = std::make_unique<Header>();
        ReadHeader(*file, length, *header);
        const uint8_t* b = header->bytes.data();
        const size_t n = header->n;
        if (n < 16) throw FormatError("File too short");
        const Form form = FormOf(b, n);
        if (form == Form::Other) {
            file->Close();
            return false;
        }
        const int64_t d = IndexOf(b, n, "data");
        if (d < 0 || static_cast<uint64_t>(d) + 8 > length) throw FormatError("No data chunk found");
        // A RIFF file of another form would only be caught by the verification after the patch;
        // it is refused here, before anything is written, with the failure that verification gives.
        if (!TagAt(b + 8, "WAVE")) throw FormatError(form == Form::Rf64 ? "No WAVE signature" : "Validation failed");
        if (form == Form::Rf64 && (!TagAt(b + 12, "ds64") || U32(b + 16) < 28)) throw FormatError("No ds64 chunk");

        const WavFormat format = ReadFormat(b, n);
        // Whatever would fail verification afterwards is refused before the file is touched.
        if (format.blockAlign < 1) throw FormatError("Validation failed");
        const uint64_t blockAlign = static_cast<uint64_t>(format.blockAlign);
        // Whole frames only: a frame the crash cut in half is left after the chunk, where readers
        // skip it, instead of inside it, where some of them report the file as damaged.
        const uint64_t dataSize = (length - (static_cast<uint64_t>(d) + 8)) / blockAlign * blockAlign;
        if (dataSize == 0) throw FormatError("Validation failed");

        auto field = [&fields](uint64_t offset, size_t size, uint64_t value) {
            PatchedField f;
            f.offset = offset;
            f.size = size;
            if (size == 8)
                PutU64(f.value, value);
            else
                PutU32(f.value, static_cast<uint32_t>(value));
            fields.push_back(f);
        };
        if (form == Form::Rf64) {
            field(4, 4, 0xFFFFFFFFu);
            field(20, 8, length - 8);
            field(static_cast<uint64_t>(d) + 4, 4, 0xFFFFFFFFu);
            field(28, 8, dataSize);
            field(36, 8, dataSize / blockAlign);
        } else {
            // A RIFF file cannot state more than 4 GiB: say as much as it can rather than wrap around.
            field(4, 4, std::min<uint64_t>(length - 8, 0xFFFFFFFFu));
            field(static_cast<uint64_t>(d) + 4, 4, std::min<uint64_t>(dataSize, 0xFFFFFFFFu / blockAlign * blockAlign));
        }
        // What each field holds now is read before the first write, so a failure anywhere in the
        // patch can put exactly that back.
        for (PatchedField& f : fields) {
            if (file->ReadAt(f.offset, f.original, f.size) != f.size) throw IoError("The file changed during the repair");
        }
        modified = true;
        for (const PatchedField& f : fields) file->WriteAt(f.offset, f.value, f.size);
        file->FlushToDisk();
        file->Close();
        file.reset();

        if (!Verify(path, 0, 0)) throw FormatError("Validation failed");
        TryDelete(backupPath);
        return true;
    } catch (const std::exception& e) {
        Log::Error(std::string("Error repairing WAV: ") + e.what());
    } catch (...) {
        Log::Error("Error repairing WAV: unknown failure");
    }
    if (file) {
        try {
            file->Close();
        } catch (...) {
        }
        file.reset();
    }
    if (backupComplete && modified) {
        TryRestore(path, fields);
    } else if (backupStarted && !backupComplete) {
        // A half-written copy is no backup; leaving it would invite someone to trust it.
        TryDelete(backupPath);
    }
    return false;
}

}  // namespace twr
