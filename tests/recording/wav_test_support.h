#pragma once
// Shared by the recording tests: raw file bytes, a file in memory that fails like a real disk, the
// test signal and readers that nobody here wrote (libsndfile, sox, ffmpeg).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/errors.h"
#include "recording/audio_file.h"
#include "recording/test_signal.h"
#include "test_support.h"

#ifdef TWR_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace twr::testing {

namespace fs = std::filesystem;

inline std::vector<uint8_t> ReadBytes(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

inline void WriteBytes(const fs::path& p, const std::vector<uint8_t>& bytes) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline uint64_t LeN(const std::vector<uint8_t>& b, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + static_cast<size_t>(i));
    return v;
}
inline uint16_t Le16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(LeN(b, at, 2)); }
inline uint32_t Le32(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint32_t>(LeN(b, at, 4)); }
inline uint64_t Le64(const std::vector<uint8_t>& b, size_t at) { return LeN(b, at, 8); }
inline void PutLe(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.at(at + static_cast<size_t>(i)) = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) { PutLe(b, at, v, 4); }
inline void PutLe64(std::vector<uint8_t>& b, size_t at, uint64_t v) { PutLe(b, at, v, 8); }
inline std::string Tag(const std::vector<uint8_t>& b, size_t at) {
    return std::string(reinterpret_cast<const char*>(b.data() + at), 4);
}

// What a MemoryFile keeps, shared so that a test can look at it after the writer took the file.
struct MemoryDisk {
    std::vector<uint8_t> bytes;
    size_t budget = SIZE_MAX;  // writes that would grow the file past this fail, as on a full disk
    bool flushFails = false;   // as a drive that vanished fails when forced to disk
    std::function<void()> onFlushToDisk;  // runs while the file is forced to disk
    bool closed = false;
};

class MemoryFile final : public AudioFile {
public:
    explicit MemoryFile(std::shared_ptr<MemoryDisk> disk = std::make_shared<MemoryDisk>()) : d_(std::move(disk)) {}
    size_t ReadAt(uint64_t offset, void* out, size_t size) override {
        if (offset >= d_->bytes.size()) return 0;
        size = std::min<size_t>(size, d_->bytes.size() - offset);
        std::memcpy(out, d_->bytes.data() + offset, size);
        return size;
    }
    void WriteAt(uint64_t offset, const void* data, size_t size) override {
        const size_t end = offset + size;
        if (end > d_->bytes.size() && end > d_->budget) throw IoError("There is not enough space on the disk.");
        if (d_->bytes.size() < end) d_->bytes.resize(end);
        std::memcpy(d_->bytes.data() + offset, data, size);
    }
    uint64_t Size() override { return d_->bytes.size(); }
    void Truncate(uint64_t size) override { d_->bytes.resize(size); }
    void FlushToDisk() override {
        if (d_->onFlushToDisk) d_->onFlushToDisk();
        if (d_->flushFails) throw IoError("The device is not ready.");
    }
    void Close() override { d_->closed = true; }

private:
    std::shared_ptr<MemoryDisk> d_;
};

// Output of a shell command, or nullopt when it could not run or exited non-zero.
inline std::optional<std::string> RunCommand(const std::string& command) {
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return std::nullopt;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (::pclose(p) != 0) return std::nullopt;
    return out;
}

inline bool HaveTool(const std::string& name) {
    return RunCommand("command -v " + name + " >/dev/null 2>&1").has_value();
}

inline std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// Interleaved samples (full scale 1.0) that a command writes as raw 64-bit floats.
inline std::optional<std::vector<double>> DecodeF64(const std::string& command) {
    auto raw = RunCommand(command);
    if (!raw) return std::nullopt;
    std::vector<double> out(raw->size() / 8);
    std::memcpy(out.data(), raw->data(), out.size() * 8);
    return out;
}
inline std::optional<std::vector<double>> DecodeWithSox(const fs::path& p) {
    return DecodeF64("sox -V1 " + Quoted(p) + " -t f64 -");
}
inline std::optional<std::vector<double>> DecodeWithFfmpeg(const fs::path& p) {
    return DecodeF64("ffmpeg -v error -i " + Quoted(p) + " -f f64le -");
}

struct Decoded {
    int64_t frames = -1;
    int sampleRate = 0;
    int channels = 0;
    std::vector<double> samples;  // interleaved, full scale = 1.0
};

#ifdef TWR_HAVE_SNDFILE
inline std::optional<Decoded> ReadWithSndfile(const fs::path& p) {
    SF_INFO info{};
    SNDFILE* f = sf_open(p.c_str(), SFM_READ, &info);
    if (!f) return std::nullopt;
    Decoded d{info.frames, info.samplerate, info.channels, {}};
    d.samples.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
    const sf_count_t got = sf_readf_double(f, d.samples.data(), info.frames);
    sf_close(f);
    d.samples.resize(static_cast<size_t>(got) * static_cast<size_t>(info.channels));
    return d;
}
#endif

// The decoded samples are the first `frames` frames of the test signal, each within one step of the
// value written (every `stride`-th frame is looked at).
inline void ExpectTestSignal(const std::vector<double>& samples, int bits, int channels, uint64_t frames,
                             uint64_t stride = 1) {
    ASSERT_EQ(samples.size(), frames * static_cast<uint64_t>(channels));
    const double full = std::ldexp(1.0, bits - 1);
    for (uint64_t f = 0; f < frames; f += stride)
        for (int c = 0; c < channels; ++c)
            ASSERT_NEAR(samples[f * channels + c] * full, std::nearbyint(Clamped(TestSample(f, c)) * (full - 1)),
                        1.0 + 1e-6)
                << "frame " << f << ", channel " << c;
}

}  // namespace twr::testing
