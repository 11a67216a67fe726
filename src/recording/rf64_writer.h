#pragma once
// Writes one recording: interleaved float frames in, little-endian integer PCM out, in an RF64
// file whose 80-byte header never changes shape, so a file cut off at any moment can be
// repaired from its length alone (WavFile::Repair).
//
// Layout (little-endian): "RF64", 0xFFFFFFFF, "WAVE"; "ds64" chunk of 28 bytes holding the
// 64-bit RIFF size (offset 20), data size (28) and frame count (36) and an empty table;
// a 16-byte PCM "fmt " chunk (format tag 1 at every depth); "data" with 0xFFFFFFFF at 76;
// the samples from offset 80; a zero pad byte after them when their length is odd.
//
// One writer belongs to one thread. Nothing here is thread-safe.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "recording/audio_file.h"

namespace twr {

class Rf64Writer {
public:
    static constexpr uint32_t kHeaderBytes = 80;
    static constexpr size_t kBufferBytes = 65536;

    // Checks the format (InvalidArgument for channels outside 1-2, rates outside 8000-384000,
    // depths other than 16/24/32, before anything is created), then creates the file - never
    // over an existing one: a name clash is an IoError the caller resolves - and writes the header.
    Rf64Writer(const std::filesystem::path& path, int sampleRate, int channels, int bitsPerSample);
    // Same over a file the caller opened (tests inject failing files this way).
    Rf64Writer(std::unique_ptr<AudioFile> file, int sampleRate, int channels, int bitsPerSample);
    // Closes the file when Close was not called; failures are swallowed here (call Close to see them).
    ~Rf64Writer();
    Rf64Writer(const Rf64Writer&) = delete;
    Rf64Writer& operator=(const Rf64Writer&) = delete;

    // Converts samples[offset, offset + count) and appends them. count must be a whole number of
    // frames. Throws InvalidOperation after Close, InvalidArgument for a range outside samples or
    // a partial frame, both before anything reaches the file.
    void Write(std::span<const float> samples, size_t offset, size_t count);
    // Hands every buffered sample to the operating system (not forced to the disk).
    void Flush();
    // Rewrites the three 64-bit sizes in place. The buffered samples are flushed first, so the
    // header never claims a byte the file does not hold yet, even if the process dies meanwhile.
    void UpdateSizes();
    // Flushes, appends the pad byte when needed, writes the final sizes and forces the file to
    // the disk. The file is released even when a step fails (the failure then propagates).
    // Harmless when repeated.
    void Close();
    // Tests only: appends frames of silence by extending the file rather than converting and
    // writing them (zero bytes are silence at every depth), so sizes past 4 GiB take a moment.
    void AppendSilenceForTesting(uint64_t frames);

    [[nodiscard]] uint64_t FramesWritten() const noexcept { return framesWritten_; }
    [[nodiscard]] uint64_t DataBytes() const noexcept { return framesWritten_ * blockAlign_; }
    [[nodiscard]] bool IsOpen() const noexcept { return file_ != nullptr; }

    // The 80 header bytes for a format, with all three 64-bit sizes 0.
    [[nodiscard]] static std::vector<uint8_t> BuildHeader(int sampleRate, int channels, int bitsPerSample);
    // Throws InvalidArgument when the format is not one the writer produces.
    static void CheckFormat(int sampleRate, int channels, int bitsPerSample);

private:
    void FlushBuffer();
    void WriteSizes(bool padWritten);

    std::unique_ptr<AudioFile> file_;
    int sampleRate_;
    int channels_;
    int bitsPerSample_;
    int bytesPerSample_;
    uint32_t blockAlign_;
    uint64_t framesWritten_ = 0;
    // Converted samples not yet handed to the file; grows to fit the largest block, never shrinks.
    std::vector<uint8_t> scratch_;
    size_t pending_ = 0;
    // Bytes of sample data already in the file, i.e. the next write goes to 80 + flushed_.
    uint64_t flushed_ = 0;
};

}  // namespace twr
