#pragma once
// Shared by the recording tests: scratch folders, raw file bytes, the test signal and readers
// that nobody here wrote (libsndfile, sox, ffmpeg).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/platform.h"
#include "recording/test_signal.h"

#ifdef TWR_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace twr::testing {

namespace fs = std::filesystem;

class ScratchDir {
public:
    explicit ScratchDir(const std::string& name) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string test = info ? std::string(info->test_suite_name()) + "_" + info->name() : "x";
        for (char& c : test)
            if (c == '/') c = '_';
        path_ = fs::temp_directory_path() / (name + "_" + std::to_string(platform::ProcessId()) + "_" + test);
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    [[nodiscard]] const fs::path& path() const { return path_; }
    [[nodiscard]] fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

inline std::vector<uint8_t> ReadBytes(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

inline void WriteBytes(const fs::path& p, const std::vector<uint8_t>& bytes) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b.at(at)) | static_cast<uint32_t>(b.at(at + 1)) << 8 |
           static_cast<uint32_t>(b.at(at + 2)) << 16 | static_cast<uint32_t>(b.at(at + 3)) << 24;
}
inline uint16_t Le16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8);
}
inline uint64_t Le64(const std::vector<uint8_t>& b, size_t at) {
    return Le32(b, at) | static_cast<uint64_t>(Le32(b, at + 4)) << 32;
}
inline void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLe64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
inline std::string Tag(const std::vector<uint8_t>& b, size_t at) {
    return std::string(reinterpret_cast<const char*>(b.data() + at), 4);
}

// Output of a shell command, or nullopt when it could not run or exited non-zero.
inline std::optional<std::string> RunCommand(const std::string& command) {
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return std::nullopt;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = ::pclose(p);
    if (rc != 0) return std::nullopt;
    return out;
}

inline bool HaveTool(const std::string& name) {
    return RunCommand("command -v " + name + " >/dev/null 2>&1").has_value();
}

inline std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

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
    Decoded d;
    d.frames = info.frames;
    d.sampleRate = info.samplerate;
    d.channels = info.channels;
    d.samples.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
    const sf_count_t got = sf_readf_double(f, d.samples.data(), info.frames);
    sf_close(f);
    d.samples.resize(static_cast<size_t>(got) * static_cast<size_t>(info.channels));
    return d;
}
#endif

}  // namespace twr::testing
