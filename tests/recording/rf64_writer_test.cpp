#include "recording/rf64_writer.h"

#include <gtest/gtest.h>

#include <limits>

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

// The header as a crash leaves a fresh file (all sizes 0), and as closing it with no audio does.
TEST(Rf64WriterLayout, FreshFileIsTheBareHeader) {
    TempDir dir("twr_rf64");
    const auto p = dir / "fresh.wav";
    Rf64Writer w(p, 48000, 2, 24);
    const struct {
        size_t at;
        int bytes;
        uint64_t open, closed;
    } fields[] = {{4, 4, 0xFFFFFFFF, 0xFFFFFFFF}, {16, 4, 28, 28}, {20, 8, 0, 72}, {28, 8, 0, 0}, {36, 8, 0, 0},
                  {44, 4, 0, 0}, {52, 4, 16, 16}, {56, 2, 1, 1}, {76, 4, 0xFFFFFFFF, 0xFFFFFFFF}};
    for (bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed" : "open");
        if (closed) w.Close();
        const auto b = ReadBytes(p);
        ASSERT_EQ(b.size(), 80u);
        for (auto [at, tag] : {std::pair{0, "RF64"}, {8, "WAVE"}, {12, "ds64"}, {48, "fmt "}, {72, "data"}})
            EXPECT_EQ(Tag(b, at), tag);
        for (const auto& f : fields) EXPECT_EQ(LeN(b, f.at, f.bytes), closed ? f.closed : f.open) << "offset " << f.at;
        if (!closed) {
            EXPECT_EQ(b, Rf64Writer::BuildHeader(48000, 2, 24)) << "what the repair tests start from";
        }
        EXPECT_FALSE(WavFile::Verify(p, 0, 0));
    }
}

TEST(Rf64WriterLayout, HeaderMatchesDataAndOddLengthsArePadded) {
    const struct {
        int rate, channels, bits;
        size_t frames;
        uint64_t fileSize, riffSize, dataSize;
        uint32_t byteRate, blockAlign;
    } cases[] = {
        {48000, 2, 24, 1000, 6080, 6072, 6000, 288000, 6},   {44100, 1, 24, 3, 90, 82, 9, 132300, 3},
        {44100, 1, 16, 3, 86, 78, 6, 88200, 2},              {96000, 2, 32, 5, 120, 112, 40, 768000, 8},
        {8000, 1, 24, 30000, 90080, 90072, 90000, 24000, 3}, {384000, 1, 24, 30001, 90084, 90076, 90003, 1152000, 3},
    };
    TempDir dir("twr_rf64");
    for (const auto& c : cases) {
        const auto p = dir / ("sizes" + std::to_string(&c - cases) + ".wav");
        SCOPED_TRACE(p.filename());
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
        EXPECT_TRUE(c.dataSize % 2 == 0 || b.back() == 0) << "pad byte";
        EXPECT_TRUE(WavFile::Verify(p, c.channels, c.rate));
    }
}

TEST(Rf64WriterConversion, ClampsRoundsAndScalesSymmetrically) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        int bits;
        std::vector<float> in;
        std::vector<int64_t> out;
    } cases[] = {
        {16, {2.0f, -2.0f, 0.0f, 0.5f, -0.5f, nan, inf, -inf, 1.0f, -1.0f}, {32767, -32767, 0, 16384, -16384, 0, 32767, -32767, 32767, -32767}},
        {24, {1.0f, -1.0f, 0.5f, -0.5f, 1.5f, nan, 0.25f}, {8388607, -8388607, 4194304, -4194304, 8388607, 0, 2097152}},
        {32, {1.0f, -1.0f, 0.5f, nan, -3.0f, 0.0f}, {2147483647, -2147483647, 1073741824, 0, -2147483647, 0}},
    };
    TempDir dir("twr_rf64");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        const auto b = WriteFile(dir / ("conv" + std::to_string(c.bits) + ".wav"), 44100, 1, c.bits, c.in);
        const int width = c.bits / 8;
        for (size_t i = 0; i < c.out.size(); ++i) {
            const auto raw = static_cast<int64_t>(LeN(b, 80 + i * width, width));
            EXPECT_EQ(raw >= (int64_t{1} << (c.bits - 1)) ? raw - (int64_t{1} << c.bits) : raw, c.out[i]) << i;
        }
    }
}

TEST(Rf64WriterApi, RejectsFormatsAndTakenNamesBeforeTouchingTheDisk) {
    TempDir dir("twr_rf64");
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
    WriteBytes(p, {1, 2, 3});
    EXPECT_THROW(Rf64Writer(p, 48000, 2, 16), IoError);
    EXPECT_EQ(ReadBytes(p), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_THROW(Rf64Writer(dir / "missing" / "x.wav", 48000, 2, 16), IoError);
}

TEST(Rf64WriterApi, BadCallsChangeNothing) {
    TempDir dir("twr_rf64");
    const auto p = dir / "api.wav";
    Rf64Writer w(p, 48000, 2, 16);
    const std::vector<float> s(8, 0.25f);
    w.Write(s, 2, 4);
    w.Write(s, 8, 0);
    EXPECT_THROW(w.Write(s, 6, 4), InvalidArgument);
    EXPECT_THROW(w.Write(s, 9, 0), InvalidArgument);
    EXPECT_THROW(w.Write(s, 0, 3), InvalidArgument) << "partial frame";
    EXPECT_EQ(w.FramesWritten(), 2u);
    w.Close();
    EXPECT_NO_THROW(w.Close());
    EXPECT_EQ(ReadBytes(p).size(), 88u);
    EXPECT_THROW(w.Write(s, 0, 2), InvalidOperation);
    EXPECT_THROW(w.UpdateSizes(), InvalidOperation);
    EXPECT_EQ(ReadBytes(p).size(), 88u);
}

TEST(Rf64WriterApi, BlocksLargerThanTheBufferAndManySmallOnesAgree) {
    TempDir dir("twr_rf64");
    const auto signal = TestBlock(0, 70001, 2);
    const auto big = WriteFile(dir / "big.wav", 48000, 2, 24, signal);
    Rf64Writer w(dir / "small.wav", 48000, 2, 24);
    for (size_t at = 0; at < signal.size(); at += 2 * 97) w.Write(signal, at, std::min<size_t>(2 * 97, signal.size() - at));
    w.Close();
    EXPECT_EQ(ReadBytes(dir / "small.wav"), big);
}

TEST(Rf64WriterApi, FullDiskNeverLeavesTheHeaderClaimingMissingData) {
    auto disk = std::make_shared<MemoryDisk>();
    disk->budget = 80 + 200000;
    Rf64Writer w(std::make_unique<MemoryFile>(disk), 48000, 2, 16);
    bool failed = false;
    for (uint64_t frame = 0; frame < 200000 && !failed; frame += 480) {
        try {
            w.Write(TestBlock(frame, 480, 2), 0, 960);
            if (frame % 4800 == 0) w.UpdateSizes();
        } catch (const IoError&) {
            failed = true;
        }
        const uint64_t claimed = Le64(disk->bytes, 28);
        ASSERT_LE(80 + claimed, disk->bytes.size());
        ASSERT_EQ(Le64(disk->bytes, 20), claimed == 0 ? 0 : claimed + 72);
    }
    ASSERT_TRUE(failed);
    EXPECT_THROW(w.Close(), IoError);
    EXPECT_TRUE(disk->closed) << "the file is released even when closing fails";
    EXPECT_NO_THROW(w.Close());
}

// Every format, with even and odd lengths (24-bit mono with an odd frame count has a pad byte),
// reads back in every reader at hand: format, length and every sample within one step.
TEST(Rf64WriterReaders, EveryFormatReadsBackInIndependentReaders) {
    const struct {
        int bits, channels;
        size_t frames;
    } cases[] = {{16, 1, 4801}, {16, 2, 4800}, {24, 1, 4801}, {24, 1, 4800}, {24, 2, 4801}, {32, 1, 4801}, {32, 2, 4800}};
    const bool sndfileInfo = HaveTool("sndfile-info"), sox = HaveTool("sox"),
               ffmpeg = HaveTool("ffprobe") && HaveTool("ffmpeg");
    TempDir dir("twr_rf64");
    for (const auto& c : cases) {
        const std::string name = std::to_string(c.bits) + "bit_" + std::to_string(c.channels) + "ch_" +
                                 std::to_string(c.frames);
        SCOPED_TRACE(name);
        const auto p = dir / (name + ".wav");
        WriteFile(p, 44100, c.channels, c.bits, TestBlock(0, c.frames, c.channels));
        const auto q = Quoted(p);
        const auto expectSignal = [&](const std::optional<std::vector<double>>& s, const char* reader) {
            SCOPED_TRACE(reader);
            ASSERT_TRUE(s);
            ExpectTestSignal(*s, c.bits, c.channels, c.frames);
        };
#ifdef TWR_HAVE_SNDFILE
        auto d = ReadWithSndfile(p);
        ASSERT_TRUE(d);
        EXPECT_EQ(std::tuple(d->frames, d->sampleRate, d->channels),
                  std::tuple(static_cast<int64_t>(c.frames), 44100, c.channels));
        expectSignal(d->samples, "libsndfile");
#endif
        if (sndfileInfo) {
            auto out = RunCommand("sndfile-info " + q + " 2>&1");
            ASSERT_TRUE(out);
            EXPECT_NE(out->find("Frames      : " + std::to_string(c.frames) + "\n"), std::string::npos) << *out;
            for (const char* bad : {"Unknown chunk", "unknown marker", "Should", "junk", "Error"})
                EXPECT_EQ(out->find(bad), std::string::npos) << bad << "\n" << *out;
        }
        if (sox) {
            const std::pair<const char*, int> expected[] = {
                {"-s", static_cast<int>(c.frames)}, {"-r", 44100}, {"-c", c.channels}, {"-b", c.bits}};
            for (auto [option, value] : expected)
                EXPECT_EQ(RunCommand("sox --i " + std::string(option) + " " + q + " 2>/dev/null"),
                          std::to_string(value) + "\n") << option;
            expectSignal(DecodeWithSox(p), "sox");
        }
        if (ffmpeg) {
            auto info = RunCommand("ffprobe -v error -select_streams a:0 -show_entries "
                                   "stream=sample_rate,channels,bits_per_sample,duration_ts -of default=nw=1 " + q);
            ASSERT_TRUE(info);
            for (const auto& entry :
                 {std::string("sample_rate=44100"), "channels=" + std::to_string(c.channels),
                  "bits_per_sample=" + std::to_string(c.bits), "duration_ts=" + std::to_string(c.frames)})
                EXPECT_NE(info->find(entry + "\n"), std::string::npos) << *info;
            expectSignal(DecodeWithFfmpeg(p), "ffmpeg");
        }
    }
#ifndef TWR_HAVE_SNDFILE
    GTEST_SKIP() << "libsndfile not found at build time";
#endif
    if (!sndfileInfo || !sox || !ffmpeg) GTEST_SKIP() << "a reader is missing (sndfile-info, sox, ffmpeg)";
}

// A copy taken right after any size update is a complete, readable recording of what was written.
TEST(Rf64WriterReaders, CopyAfterEachUpdateReadsBackExactlyTheFramesWritten) {
#ifndef TWR_HAVE_SNDFILE
    GTEST_SKIP() << "libsndfile not found at build time";
#else
    TempDir dir("twr_rf64");
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
            ASSERT_NO_FATAL_FAILURE(ExpectTestSignal(d->samples, bits, 1, frame, 97));
            EXPECT_TRUE(WavFile::Verify(copy, 1, 48000));
        }
        w.Close();
    }
#endif
}

}  // namespace
}  // namespace twr
