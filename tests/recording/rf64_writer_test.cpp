#include "recording/rf64_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "app/errors.h"
#include "recording/wav_file.h"
#include "recording/wav_test_support.h"

namespace twr {
namespace {

using namespace twr::testing;

std::vector<uint8_t> WriteFile(const fs::path& p, int rate, int channels, int bits, const std::vector<float>& samples) {
    Rf64Writer w(p, rate, channels, bits);
    w.Write(samples, 0, samples.size());
    w.Close();
    return ReadBytes(p);
}

TEST(Rf64WriterLayout, FreshFileIsTheBareHeader) {
    ScratchDir dir("rf64");
    const auto p = dir / "fresh.wav";
    { Rf64Writer w(p, 48000, 2, 24); }
    const auto b = ReadBytes(p);
    ASSERT_EQ(b.size(), 80u);
    EXPECT_EQ(Tag(b, 0), "RF64");
    EXPECT_EQ(Le32(b, 4), 0xFFFFFFFFu);
    EXPECT_EQ(Tag(b, 8), "WAVE");
    EXPECT_EQ(Tag(b, 12), "ds64");
    EXPECT_EQ(Le32(b, 16), 28u);
    // Closing with no audio still states the (empty) truth.
    EXPECT_EQ(Le64(b, 20), 72u);
    EXPECT_EQ(Le64(b, 28), 0u);
    EXPECT_EQ(Le64(b, 36), 0u);
    EXPECT_EQ(Le32(b, 44), 0u);
    EXPECT_EQ(Tag(b, 48), "fmt ");
    EXPECT_EQ(Le32(b, 52), 16u);
    EXPECT_EQ(Le16(b, 56), 1u);
    EXPECT_EQ(Tag(b, 72), "data");
    EXPECT_EQ(Le32(b, 76), 0xFFFFFFFFu);
    EXPECT_FALSE(WavFile::Verify(p, 0, 0));
}

TEST(Rf64WriterLayout, UnclosedFreshFileHasZeroSizes) {
    ScratchDir dir("rf64");
    const auto p = dir / "open.wav";
    Rf64Writer w(p, 48000, 2, 24);
    const auto b = ReadBytes(p);
    ASSERT_EQ(b.size(), 80u);
    EXPECT_EQ(Le64(b, 20), 0u);
    EXPECT_EQ(Le64(b, 28), 0u);
    EXPECT_EQ(Le64(b, 36), 0u);
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.end()), Rf64Writer::BuildHeader(48000, 2, 24));
}

struct LayoutCase {
    int rate, channels, bits;
    size_t frames;
    uint64_t fileSize, riffSize, dataSize;
    uint32_t byteRate, blockAlign;
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << c.bits << "-bit " << c.channels << "ch " << c.rate << " Hz, " << c.frames << " frames";
}

class Rf64WriterSizes : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(Rf64WriterSizes, HeaderMatchesData) {
    const auto c = GetParam();
    ScratchDir dir("rf64");
    const auto p = dir / "sizes.wav";
    const auto b = WriteFile(p, c.rate, c.channels, c.bits, TestBlock(0, c.frames, c.channels));
    ASSERT_EQ(b.size(), c.fileSize);
    EXPECT_EQ(Le64(b, 20), c.riffSize);
    EXPECT_EQ(Le64(b, 28), c.dataSize);
    EXPECT_EQ(Le64(b, 36), c.frames);
    EXPECT_EQ(Le16(b, 58), c.channels);
    EXPECT_EQ(Le32(b, 60), static_cast<uint32_t>(c.rate));
    EXPECT_EQ(Le32(b, 64), c.byteRate);
    EXPECT_EQ(Le16(b, 68), c.blockAlign);
    EXPECT_EQ(Le16(b, 70), c.bits);
    if (c.dataSize % 2) {
        EXPECT_EQ(b.back(), 0) << "pad byte";
    }
    EXPECT_EQ(b.size() % 2, 0u);
    EXPECT_TRUE(WavFile::Verify(p, c.channels, c.rate));
}

INSTANTIATE_TEST_SUITE_P(Formats, Rf64WriterSizes,
                         ::testing::Values(LayoutCase{48000, 2, 24, 1000, 6080, 6072, 6000, 288000, 6},
                                           LayoutCase{44100, 1, 24, 3, 90, 82, 9, 132300, 3},
                                           LayoutCase{44100, 1, 16, 3, 86, 78, 6, 88200, 2},
                                           LayoutCase{96000, 2, 32, 5, 120, 112, 40, 768000, 8},
                                           LayoutCase{8000, 1, 24, 30000, 90080, 90072, 90000, 24000, 3},
                                           LayoutCase{384000, 1, 24, 30001, 90084, 90076, 90003, 1152000, 3}));

struct ConversionCase {
    int bits;
    std::vector<float> in;
    std::vector<int64_t> out;
};

int64_t ReadSample(const std::vector<uint8_t>& b, size_t at, int bits) {
    if (bits == 16) return static_cast<int16_t>(Le16(b, at));
    if (bits == 32) return static_cast<int32_t>(Le32(b, at));
    int32_t v = b[at] | b[at + 1] << 8 | b[at + 2] << 16;
    return (v ^ 0x800000) - 0x800000;
}

TEST(Rf64WriterConversion, ClampsRoundsAndScalesSymmetrically) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<ConversionCase> cases = {
        {16, {2.0f, -2.0f, 0.0f, 0.5f, -0.5f, nan, inf, -inf, 1.0f, -1.0f}, {32767, -32767, 0, 16384, -16384, 0, 32767, -32767, 32767, -32767}},
        {24, {1.0f, -1.0f, 0.5f, -0.5f, 1.5f, nan, 0.25f}, {8388607, -8388607, 4194304, -4194304, 8388607, 0, 2097152}},
        {32, {1.0f, -1.0f, 0.5f, nan, -3.0f, 0.0f}, {2147483647, -2147483647, 1073741824, 0, -2147483647, 0}},
    };
    ScratchDir dir("rf64");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        const auto p = dir / ("conv" + std::to_string(c.bits) + ".wav");
        const auto b = WriteFile(p, 44100, 1, c.bits, c.in);
        for (size_t i = 0; i < c.out.size(); ++i)
            EXPECT_EQ(ReadSample(b, 80 + i * (c.bits / 8), c.bits), c.out[i]) << "sample " << i;
    }
}

TEST(Rf64WriterApi, RejectsFormatsBeforeTouchingTheDisk) {
    ScratchDir dir("rf64");
    const auto p = dir / "bad.wav";
    const struct { int rate, channels, bits; const char* text; } cases[] = {
        {48000, 2, 8, "Unsupported bit depth: 8"},   {48000, 2, 20, "Unsupported bit depth: 20"},
        {48000, 0, 16, "Unsupported channel count: 0"}, {48000, 3, 16, "Unsupported channel count: 3"},
        {7999, 1, 16, "Unsupported sample rate: 7999"}, {384001, 1, 16, "Unsupported sample rate: 384001"},
        {-48000, 1, 16, "Unsupported sample rate: -48000"},
    };
    for (const auto& c : cases) {
        try {
            Rf64Writer w(p, c.rate, c.channels, c.bits);
            ADD_FAILURE() << c.text;
        } catch (const InvalidArgument& e) {
            EXPECT_EQ(std::string(e.what()), c.text);
        }
        EXPECT_FALSE(fs::exists(p));
    }
}

TEST(Rf64WriterApi, NeverOverwritesAnExistingFile) {
    ScratchDir dir("rf64");
    const auto p = dir / "taken.wav";
    WriteBytes(p, {1, 2, 3});
    EXPECT_THROW(Rf64Writer(p, 48000, 2, 16), IoError);
    EXPECT_EQ(ReadBytes(p), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_THROW(Rf64Writer(dir / "missing" / "x.wav", 48000, 2, 16), IoError);
}

TEST(Rf64WriterApi, BadCallsChangeNothing) {
    ScratchDir dir("rf64");
    const auto p = dir / "api.wav";
    Rf64Writer w(p, 48000, 2, 16);
    const std::vector<float> s(8, 0.25f);
    w.Write(s, 2, 4);
    EXPECT_EQ(w.FramesWritten(), 2u);
    w.Write(s, 8, 0);
    EXPECT_EQ(w.FramesWritten(), 2u);
    EXPECT_THROW(w.Write(s, 6, 4), InvalidArgument);
    EXPECT_THROW(w.Write(s, 9, 0), InvalidArgument);
    EXPECT_THROW(w.Write(s, 0, 3), InvalidArgument) << "partial frame";
    EXPECT_EQ(w.FramesWritten(), 2u);
    EXPECT_EQ(w.DataBytes(), 8u);
    w.Close();
    EXPECT_NO_THROW(w.Close());
    EXPECT_EQ(ReadBytes(p).size(), 88u);
    try {
        w.Write(s, 0, 2);
        ADD_FAILURE();
    } catch (const InvalidOperation& e) {
        EXPECT_NE(std::string(e.what()).find("Rf64Writer"), std::string::npos);
    }
    EXPECT_THROW(w.UpdateSizes(), InvalidOperation);
    EXPECT_EQ(ReadBytes(p).size(), 88u);
}

TEST(Rf64WriterApi, BlocksLargerThanTheBufferAndManySmallOnesAgree) {
    ScratchDir dir("rf64");
    const auto signal = TestBlock(0, 70001, 2);
    const auto big = WriteFile(dir / "big.wav", 48000, 2, 24, signal);
    Rf64Writer w(dir / "small.wav", 48000, 2, 24);
    for (size_t at = 0; at < signal.size(); at += 2 * 97) w.Write(signal, at, std::min<size_t>(2 * 97, signal.size() - at));
    w.Close();
    EXPECT_EQ(ReadBytes(dir / "small.wav"), big);
}

// A file that fails every write once a byte budget is spent, like a disk filling up.
class FullDisk final : public AudioFile {
public:
    FullDisk(std::vector<uint8_t>& bytes, size_t budget, bool& closed) : bytes_(bytes), budget_(budget), closed_(closed) {}
    size_t ReadAt(uint64_t, void*, size_t) override { return 0; }
    void WriteAt(uint64_t offset, const void* data, size_t size) override {
        if (offset + size > bytes_.size() && offset + size > budget_) throw IoError("There is not enough space on the disk.");
        if (bytes_.size() < offset + size) bytes_.resize(offset + size);
        std::memcpy(bytes_.data() + offset, data, size);
    }
    uint64_t Size() override { return bytes_.size(); }
    void Truncate(uint64_t size) override { bytes_.resize(size); }
    void FlushToDisk() override {}
    void Close() override { closed_ = true; }

private:
    std::vector<uint8_t>& bytes_;
    size_t budget_;
    bool& closed_;
};

TEST(Rf64WriterApi, FullDiskNeverLeavesTheHeaderClaimingMissingData) {
    std::vector<uint8_t> disk;
    bool closed = false;
    const size_t budget = 80 + 200000;
    Rf64Writer w(std::make_unique<FullDisk>(disk, budget, closed), 48000, 2, 16);
    bool failed = false;
    for (uint64_t frame = 0; frame < 200000 && !failed; frame += 480) {
        try {
            w.Write(TestBlock(frame, 480, 2), 0, 960);
            if (frame % 4800 == 0) w.UpdateSizes();
        } catch (const IoError&) {
            failed = true;
        }
        const uint64_t claimed = disk.size() >= 36 ? Le64(disk, 28) : 0;
        ASSERT_LE(80 + claimed, disk.size());
        ASSERT_EQ(Le64(disk, 20), claimed == 0 ? 0 : claimed + 72);
    }
    ASSERT_TRUE(failed);
    EXPECT_THROW(w.Close(), IoError);
    EXPECT_TRUE(closed) << "the file is released even when closing fails";
    EXPECT_FALSE(w.IsOpen());
    EXPECT_NO_THROW(w.Close());
}

// --- Independent readers --------------------------------------------------------------------

struct ReaderCase {
    int bits, channels;
    size_t frames;
};

void PrintTo(const ReaderCase& c, std::ostream* os) {
    *os << c.bits << "-bit " << c.channels << "ch, " << c.frames << " frames";
}

std::string Name(const ::testing::TestParamInfo<ReaderCase>& i) {
    return std::to_string(i.param.bits) + "bit_" + std::to_string(i.param.channels) + "ch_" + std::to_string(i.param.frames);
}

class Rf64WriterReaders : public ::testing::TestWithParam<ReaderCase> {
protected:
    void SetUp() override {
        const auto c = GetParam();
        path_ = dir_ / "readers.wav";
        signal_ = TestBlock(0, c.frames, c.channels);
        WriteFile(path_, 44100, c.channels, c.bits, signal_);
    }
    // Every decoded sample is within one step of the value written.
    void ExpectSamples(const std::vector<double>& decoded, const char* reader) {
        const auto c = GetParam();
        ASSERT_EQ(decoded.size(), signal_.size()) << reader;
        const double full = std::ldexp(1.0, c.bits - 1);
        const double maxCode = full - 1;
        for (size_t i = 0; i < decoded.size(); ++i) {
            const double expected = std::nearbyint(Clamped(signal_[i]) * maxCode);
            ASSERT_NEAR(decoded[i] * full, expected, 1.0 + 1e-6) << reader << " sample " << i;
        }
    }
    ScratchDir dir_{"rf64readers"};
    fs::path path_;
    std::vector<float> signal_;
};

TEST_P(Rf64WriterReaders, Libsndfile) {
#ifndef TWR_HAVE_SNDFILE
    GTEST_SKIP() << "libsndfile not found at build time";
#else
    const auto c = GetParam();
    auto d = ReadWithSndfile(path_);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->frames, static_cast<int64_t>(c.frames));
    EXPECT_EQ(d->sampleRate, 44100);
    EXPECT_EQ(d->channels, c.channels);
    ExpectSamples(d->samples, "libsndfile");
#endif
}

TEST_P(Rf64WriterReaders, SndfileInfoReportsNoProblems) {
    if (!HaveTool("sndfile-info")) GTEST_SKIP() << "sndfile-info missing";
    auto out = RunCommand("sndfile-info " + Quoted(path_) + " 2>&1");
    ASSERT_TRUE(out);
    const auto c = GetParam();
    EXPECT_NE(out->find("Frames      : " + std::to_string(c.frames) + "\n"), std::string::npos) << *out;
    for (const char* bad : {"Unknown chunk", "unknown marker", "Should", "junk", "Error"})
        EXPECT_EQ(out->find(bad), std::string::npos) << bad << "\n" << *out;
}

TEST_P(Rf64WriterReaders, Sox) {
    if (!HaveTool("sox")) GTEST_SKIP() << "sox missing";
    const auto c = GetParam();
    const auto q = Quoted(path_);
    EXPECT_EQ(RunCommand("sox --i -s " + q + " 2>/dev/null"), std::to_string(c.frames) + "\n");
    EXPECT_EQ(RunCommand("sox --i -r " + q + " 2>/dev/null"), "44100\n");
    EXPECT_EQ(RunCommand("sox --i -c " + q + " 2>/dev/null"), std::to_string(c.channels) + "\n");
    EXPECT_EQ(RunCommand("sox --i -b " + q + " 2>/dev/null"), std::to_string(c.bits) + "\n");
    // Sample values as sox decodes them, as 32-bit integers.
    auto raw = RunCommand("sox -V1 " + q + " -t s32 -e signed-integer -");
    ASSERT_TRUE(raw);
    std::vector<double> decoded(raw->size() / 4);
    for (size_t i = 0; i < decoded.size(); ++i) {
        int32_t v;
        std::memcpy(&v, raw->data() + 4 * i, 4);
        decoded[i] = v / 2147483648.0;
    }
    ExpectSamples(decoded, "sox");
}

TEST_P(Rf64WriterReaders, Ffmpeg) {
    if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
    const auto c = GetParam();
    const auto q = Quoted(path_);
    auto info = RunCommand("ffprobe -v error -select_streams a:0 -show_entries "
                           "stream=sample_rate,channels,bits_per_sample,duration_ts -of default=nw=1 " + q);
    ASSERT_TRUE(info);
    EXPECT_NE(info->find("sample_rate=44100\n"), std::string::npos) << *info;
    EXPECT_NE(info->find("channels=" + std::to_string(c.channels) + "\n"), std::string::npos) << *info;
    EXPECT_NE(info->find("bits_per_sample=" + std::to_string(c.bits) + "\n"), std::string::npos) << *info;
    EXPECT_NE(info->find("duration_ts=" + std::to_string(c.frames) + "\n"), std::string::npos) << *info;
    auto raw = RunCommand("ffmpeg -v error -i " + q + " -f f64le -");
    ASSERT_TRUE(raw);
    std::vector<double> decoded(raw->size() / 8);
    std::memcpy(decoded.data(), raw->data(), decoded.size() * 8);
    ExpectSamples(decoded, "ffmpeg");
}

INSTANTIATE_TEST_SUITE_P(Formats, Rf64WriterReaders,
                         ::testing::Values(ReaderCase{16, 1, 4801}, ReaderCase{16, 2, 4800}, ReaderCase{24, 1, 4801},
                                           ReaderCase{24, 1, 4800}, ReaderCase{24, 2, 4801}, ReaderCase{32, 1, 4801},
                                           ReaderCase{32, 2, 4800}),
                         Name);

// A copy taken right after any size update is a complete, readable recording of what was written.
TEST(Rf64WriterReadersWhileWriting, CopyAfterEachUpdateReadsBackExactlyTheFramesWritten) {
#ifndef TWR_HAVE_SNDFILE
    GTEST_SKIP() << "libsndfile not found at build time";
#else
    ScratchDir dir("rf64live");
    const auto p = dir / "live.wav";
    const auto copy = dir / "copy.wav";
    for (int bits : {16, 24, 32}) {
        SCOPED_TRACE(bits);
        fs::remove(p);
        Rf64Writer w(p, 48000, 1, bits);
        uint64_t frame = 0;
        for (int update = 0; update < 6; ++update) {
            // Odd block sizes so that some updates leave an odd data length (no pad byte yet).
            for (int block = 0; block < 3 + update; ++block) {
                const size_t frames = 333 + 2 * static_cast<size_t>(update);
                w.Write(TestBlock(frame, frames, 1), 0, frames);
                frame += frames;
            }
            w.UpdateSizes();
            fs::copy_file(p, copy, fs::copy_options::overwrite_existing);
            auto d = ReadWithSndfile(copy);
            ASSERT_TRUE(d);
            ASSERT_EQ(d->frames, static_cast<int64_t>(frame));
            ASSERT_EQ(d->samples.size(), frame);
            const double scale = std::ldexp(1.0, bits - 1);
            for (uint64_t i = 0; i < frame; i += 97)
                ASSERT_NEAR(d->samples[i] * scale, std::nearbyint(Clamped(TestSample(i, 0)) * (scale - 1)), 1.0 + 1e-6);
            EXPECT_TRUE(WavFile::Verify(copy, 1, 48000));
        }
        w.Close();
    }
#endif
}

}  // namespace
}  // namespace twr
