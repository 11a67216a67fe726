// Recordings past 4 GiB, the reason the files are RF64: every size the writer and the repair
// state crosses 2^32 here. The files are hollow (a length and the bytes of small writes), so the
// test costs kilobytes and moments rather than gigabytes and minutes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "recording/rf64_writer.h"
#include "recording/wav_file.h"
#include "test_support.h"

namespace twr {
namespace {

// A file's length and the bytes of its small writes (headers, size fields, the last samples);
// everything else reads as zeros. Large writes, such as the repair's backup copy, only move the
// length: what they carried is not kept.
struct HollowData {
    static constexpr size_t kKeptWrite = 65536;
    uint64_t length = 0;
    std::map<uint64_t, uint8_t> bytes;

    void Cut(uint64_t size) {
        bytes.erase(bytes.lower_bound(size), bytes.end());
        length = size;
    }
};

class HollowFile final : public AudioFile {
public:
    explicit HollowFile(std::shared_ptr<HollowData> data) : d_(std::move(data)) {}
    size_t ReadAt(uint64_t offset, void* out, size_t size) override {
        if (offset >= d_->length) return 0;
        size = static_cast<size_t>(std::min<uint64_t>(size, d_->length - offset));
        auto* p = static_cast<uint8_t*>(out);
        std::memset(p, 0, size);
        for (auto it = d_->bytes.lower_bound(offset); it != d_->bytes.end() && it->first < offset + size; ++it)
            p[it->first - offset] = it->second;
        return size;
    }
    void WriteAt(uint64_t offset, const void* data, size_t size) override {
        d_->bytes.erase(d_->bytes.lower_bound(offset), d_->bytes.lower_bound(offset + size));
        if (size <= HollowData::kKeptWrite)
            for (size_t i = 0; i < size; ++i) d_->bytes[offset + i] = static_cast<const uint8_t*>(data)[i];
        d_->length = std::max(d_->length, offset + size);
    }
    uint64_t Size() override { return d_->length; }
    void Truncate(uint64_t size) override { d_->Cut(size); }
    void FlushToDisk() override {}
    void Close() override {}

private:
    std::shared_ptr<HollowData> d_;
};

uint64_t Le(const HollowData& d, uint64_t at, int width) {
    uint64_t v = 0;
    for (uint64_t i = static_cast<uint64_t>(width); i-- > 0;) {
        const auto it = d.bytes.find(at + i);
        v = v << 8 | (it == d.bytes.end() ? 0 : it->second);
    }
    return v;
}

constexpr uint64_t k4GiB = 1ull << 32;

// Verify and Repair open hollow files by name while a test runs.
class Rf64Large : public ::testing::Test {
protected:
    std::map<std::string, std::shared_ptr<HollowData>> files;
    testing::LogCapture log;

    void SetUp() override {
        WavFile::SetFileOpenerForTesting([this](const std::filesystem::path& p, FileAccess access) {
            auto& data = files[p.string()];
            if (access == FileAccess::CreateNewWrite || access == FileAccess::CreateAlwaysExclusive)
                data = std::make_shared<HollowData>();
            if (!data) throw IoError("Could not find file '" + p.string() + "'.");
            return std::make_unique<HollowFile>(data);
        });
    }
    void TearDown() override { WavFile::SetFileOpenerForTesting(nullptr); }

    std::unique_ptr<Rf64Writer> Create(const std::string& name, int rate, int channels, int bits) {
        files[name] = std::make_shared<HollowData>();
        return std::make_unique<Rf64Writer>(std::make_unique<HollowFile>(files[name]), rate, channels, bits);
    }
};

TEST_F(Rf64Large, SizesPastFourGiBAreStatedInFullAndVerify) {
    const struct {
        const char* what;
        int rate, channels, bits;
        uint64_t silentFrames, realFrames;  // the real frames straddle or follow the 2^32 line
    } cases[] = {
        {"data past 2^32 bytes, odd, padded", 48000, 1, 24, (k4GiB - 1) / 3, 1000},
        {"frame count past 2^32", 8000, 1, 16, k4GiB + 5, 2},
        {"data of exactly 2^32 bytes before the last frames", 384000, 2, 32, k4GiB / 8, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto writer = Create("/hollow/take.wav", c.rate, c.channels, c.bits);
        writer->AppendSilenceForTesting(c.silentFrames);
        const std::vector<float> halves(c.realFrames * c.channels, 0.5f);
        writer->Write(halves, 0, halves.size());
        writer->Close();

        const uint64_t align = static_cast<uint64_t>(c.channels * c.bits / 8);
        const uint64_t frames = c.silentFrames + c.realFrames, data = frames * align;
        ASSERT_GT(data, k4GiB);
        EXPECT_EQ(writer->FramesWritten(), frames);
        EXPECT_EQ(writer->DataBytes(), data);
        HollowData& file = *files["/hollow/take.wav"];
        EXPECT_EQ(file.length, 80 + data + (data & 1));
        EXPECT_EQ(Le(file, 4, 4), 0xFFFFFFFFu);
        EXPECT_EQ(Le(file, 76, 4), 0xFFFFFFFFu);
        EXPECT_EQ(Le(file, 20, 8), file.length - 8);
        EXPECT_EQ(Le(file, 28, 8), data);
        EXPECT_EQ(Le(file, 36, 8), frames);
        // 0.5 at every depth is 0x40 in the top byte over zeros: the first and the last real
        // sample sit where 64-bit offsets put them, the pad byte after them.
        const uint64_t sample = static_cast<uint64_t>(c.bits / 8);
        const uint64_t half = 0x40ull << (8 * (sample - 1)), first = 80 + c.silentFrames * align;
        EXPECT_EQ(Le(file, first - 1, 1), 0u);
        EXPECT_EQ(Le(file, first, static_cast<int>(sample)), half);
        EXPECT_EQ(Le(file, 80 + data - sample, static_cast<int>(sample)), half);
        if (data & 1) {
            EXPECT_EQ(Le(file, 80 + data, 1), 0u);
        }

        EXPECT_TRUE(WavFile::Verify("/hollow/take.wav", c.channels, c.rate));
        EXPECT_FALSE(WavFile::Verify("/hollow/take.wav", c.channels, 44100));
    }
}

TEST_F(Rf64Large, RepairOfACutPastFourGiBKeepsEveryWholeFrame) {
    // The last size update counted `updated` frames; 500 more reached the file, the last one only
    // in part, before the process died.
    const struct {
        const char* what;
        int rate, channels, bits;
        uint64_t updated;
        uint64_t cut;  // bytes of the last frame that never arrived
    } cases[] = {
        {"data past 2^32 bytes", 48000, 2, 24, (k4GiB - 4) / 6, 4},
        {"frame count past 2^32", 8000, 1, 16, k4GiB + 7, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const uint64_t align = static_cast<uint64_t>(c.channels * c.bits / 8);
        {
            auto writer = Create("/hollow/live.wav", c.rate, c.channels, c.bits);
            writer->AppendSilenceForTesting(c.updated);
            writer->UpdateSizes();
            const std::vector<float> half(500 * static_cast<size_t>(c.channels), 0.5f);
            writer->Write(half, 0, half.size());
            writer->Flush();
            files["/hollow/cut.wav"] = std::make_shared<HollowData>(*files["/hollow/live.wav"]);
        }
        HollowData& file = *files["/hollow/cut.wav"];
        file.Cut(file.length - c.cut);
        const uint64_t length = file.length, wholeFrames = c.updated + 499;
        ASSERT_EQ(Le(file, 28, 8), c.updated * align);
        const std::map<uint64_t, uint8_t> samples(file.bytes.lower_bound(80), file.bytes.end());
        ASSERT_EQ(samples.size(), 500u * align - c.cut);

        ASSERT_TRUE(WavFile::Repair("/hollow/cut.wav")) << log.Text();
        EXPECT_EQ(file.length, length);
        EXPECT_EQ(Le(file, 4, 4), 0xFFFFFFFFu);
        EXPECT_EQ(Le(file, 76, 4), 0xFFFFFFFFu);
        EXPECT_EQ(Le(file, 20, 8), length - 8);
        EXPECT_EQ(Le(file, 28, 8), wholeFrames * align);
        EXPECT_EQ(Le(file, 36, 8), wholeFrames);
        // The samples are untouched, the bytes of the cut frame included.
        EXPECT_EQ((std::map<uint64_t, uint8_t>(file.bytes.lower_bound(80), file.bytes.end())), samples);
        EXPECT_TRUE(WavFile::Verify("/hollow/cut.wav", c.channels, c.rate));
    }
}

}  // namespace
}  // namespace twr
