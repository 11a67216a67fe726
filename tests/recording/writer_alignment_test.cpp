// Two inputs whose blocks lie apart in time (one opens late, the writer is behind a slow close): no
// audio goes missing uncounted and no paused audio reaches the file. Each input's blocks carry their
// own number (input 1 on the left, input 2 on the right, gain 1), so the parts are decoded block by
// block.
#include "recording/writer_loop.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "recording/rf64_writer.h"
#include "recording/wav_test_support.h"
#include "recording/writer_test_support.h"

namespace twr {
namespace {

namespace fs = std::filesystem;
using testing::FakeInput;
using testing::FakeWorld;
using testing::kBlockSec;
using testing::kFrames;

// A recording of two inputs on the simulated clock into parts kept in memory, each close of which
// holds the writer for closeSeconds.
class Rig {
public:
    explicit Rig(double blockSec1 = kBlockSec, double blockSec2 = kBlockSec)
        : in1(std::make_shared<FakeInput>(world, 1, kFrames, blockSec1)),
          in2(std::make_shared<FakeInput>(world, 2, kFrames, blockSec2)) {
        for (auto* in : {in1.get(), in2.get()})
            in->value = [sec = in == in1.get() ? blockSec1 : blockSec2](double t) {
                return static_cast<float>(std::lround(t / sec)) / 32767.0f;
            };
        blockSec_[0] = blockSec1, blockSec_[1] = blockSec2;
        RecorderState& st = *state;
        st.Session = std::make_shared<RecordingSession>();
        st.Session->Id = "20240105_093000";
        st.Prefix = "rec";
        st.OutputFolder = dir.path();
        st.JournalPath = dir.path() / "active_recording.json";
        st.SampleRate = 48000;
        st.BitsPerSample = 16;
        st.BufferFrames = kFrames;
        st.Clock = std::shared_ptr<WriterClock>(&world, [](WriterClock*) {});
        st.Input1 = in1;
        st.Input2 = in2;
        WriterSettings settings;
        settings.In1Route = "Left Channel Only";
        settings.In2Route = "Right Channel Only";
        settings.In1Gain = settings.In2Gain = 1.0f;
        st.Services.ReadSettings = [settings] { return settings; };
        st.Services.SaveFolder = [] { return std::string(); };
        st.Services.TimestampNow = [this] { return "20240105_0930" + std::to_string(10 + stamps_++); };
        st.Services.LocalNow = [] { return platform::LocalTime{2024, 1, 5, 9, 30, 2, 0}; };
        st.Services.Exists = [](const fs::path&) { return false; };
        st.Services.Verify = [](const fs::path&, int, int) { return true; };
        st.Services.WriteJournal = [](const fs::path&, const JournalEntry&) {};
        st.Services.CreateFile = [this](const fs::path&, int rate, int channels, int bits) {
            auto disk = std::make_shared<testing::MemoryDisk>();
            disk->onFlushToDisk = [this] { world.AdvanceTo(world.now + closeSeconds); };
            parts.push_back(disk);
            return std::make_unique<Rf64Writer>(std::make_unique<testing::MemoryFile>(disk), rate, channels, bits);
        };
        st.Callbacks.OnError = [this](const std::string& text) { errors.push_back(text); };
    }

    void Run(double stopAt) {
        world.stopAt = stopAt;
        state->WriterAlive = true;
        state->RunWriter();
        for (auto& disk : parts) disk->onFlushToDisk = nullptr;
        Decode();
    }

    // The stamps of input n's blocks on disk, and those it delivered before the stop and outside
    // the pause (P, R] that are not.
    [[nodiscard]] std::vector<double> Missing(int n, double pause = 1e9, double resume = 1e9) const {
        const FakeInput& in = n == 1 ? *in1 : *in2;
        std::vector<double> missing;
        for (double t : in.delivered)
            if (t <= world.stopTime && !(pause < t && t <= resume) && !onDisk[n - 1].count(Code(n, t)))
                missing.push_back(t);
        return missing;
    }
    [[nodiscard]] long Code(int n, double t) const { return std::lround(t / blockSec_[n - 1]); }
    [[nodiscard]] double StampOf(int n, long code) const { return static_cast<double>(code) * blockSec_[n - 1]; }

    testing::TempDir dir{"twr_alignment"};
    FakeWorld world;
    std::shared_ptr<RecorderState> state = std::make_shared<RecorderState>();
    std::shared_ptr<FakeInput> in1, in2;
    std::vector<std::shared_ptr<testing::MemoryDisk>> parts;
    std::vector<std::string> errors;
    double closeSeconds = 3.0;
    // Block by block in the order written: the number each input's block carries, 0 for silence.
    std::vector<std::pair<long, long>> written;
    std::set<long> onDisk[2];

private:
    void Decode() {
        const size_t blockBytes = static_cast<size_t>(kFrames) * 4;
        for (const auto& disk : parts) {
            for (size_t at = Rf64Writer::kHeaderBytes; at + blockBytes <= disk->bytes.size(); at += blockBytes) {
                int16_t codes[2];
                std::memcpy(codes, disk->bytes.data() + at, 4);
                written.emplace_back(codes[0], codes[1]);
                if (codes[0]) onDisk[0].insert(codes[0]);
                if (codes[1]) onDisk[1].insert(codes[1]);
            }
        }
    }
    double blockSec_[2];
    int stamps_ = 0;
};

// Input 1's device opens late and delivers its first block only at 2 s, while the writer is held
// from about 1 s to 4 s by the close of the split asked for at 1 s. Input 2 has been recorded from
// the start: its queued audio of 1 s to 2 s is no start-up difference to align away, and input 1's
// first block waits for it.
TEST(WriterAlignmentTest, InputOnesLateFirstBlockBehindASlowCloseLeavesInputTwoWhole) {
    testing::LogCapture log;
    Rig rig;
    rig.in1->delivering = [](double t) { return t >= 2.0; };
    rig.world.hooks.push_back([&rig, asked = false](FakeWorld& w) mutable {
        if (!asked && w.now >= 1.0) asked = true, rig.state->RequestSplit(1.0);
    });
    rig.Run(6.0);
    EXPECT_TRUE(rig.errors.empty());
    EXPECT_GT(rig.world.now, 6.0) << "the writer was behind at the stop";
    ASSERT_EQ(rig.parts.size(), 2u);
    EXPECT_TRUE(rig.Missing(1).empty());
    const auto missing2 = rig.Missing(2);
    EXPECT_EQ(rig.state->Session->DroppedBlocks.load(), static_cast<int32_t>(missing2.size()))
        << missing2.size() << " blocks of input 2 are missing, from " << (missing2.empty() ? 0 : missing2.front())
        << " s to " << (missing2.empty() ? 0 : missing2.back()) << " s";
    // Once both deliver, the blocks written together were captured together.
    double worst = 0;
    for (const auto& [c1, c2] : rig.written)
        if (c1 && c2) worst = std::max(worst, std::abs(rig.StampOf(1, c1) - rig.StampOf(2, c2)));
    EXPECT_LE(worst, 2 * kBlockSec) << "input 2 written up to " << worst << " s behind input 1";
}

// Input 1's device opens 0.3 s after input 2's: the writer waits for both, so input 2's queue holds
// 0.3 s more than input 1's and every step pairs input 1's block with input 2's of 0.3 s earlier,
// within the half second the alignment allows. Each block is decided by its own stamp at the pause
// (2 s) and the resume (3 s): input 2's last 0.3 s before the pause is kept, its last 0.3 s inside
// the pause is not written.
TEST(WriterAlignmentTest, APauseKeepsInputTwoAudioCapturedBeforeItAndWritesNoneCapturedInIt) {
    testing::LogCapture log;
    Rig rig;
    rig.in1->settled = false;
    rig.in1->delivering = [](double t) { return t >= 0.3; };
    size_t next = 0;
    const std::pair<double, bool> keys[] = {{2.0, true}, {3.0, false}};
    rig.world.hooks.push_back([&](FakeWorld& w) {
        if (w.now >= 0.3) rig.in1->settled = true;
        for (; next < 2 && w.now >= keys[next].first; ++next)
            rig.state->RequestPause(keys[next].second, keys[next].first);
    });
    rig.Run(4.0);
    EXPECT_TRUE(rig.errors.empty());
    int paused2OnDisk = 0;
    for (long code : rig.onDisk[1]) {
        const double t = rig.StampOf(2, code);
        paused2OnDisk += 2.0 < t && t <= 3.0;
    }
    EXPECT_EQ(paused2OnDisk, 0) << "blocks of input 2 captured inside the pause are on disk";
    const auto missing2 = rig.Missing(2, 2.0, 3.0);
    EXPECT_EQ(rig.state->Session->DroppedBlocks.load(), static_cast<int32_t>(missing2.size()))
        << missing2.size() << " blocks of input 2 captured outside the pause are missing, from "
        << (missing2.empty() ? 0 : missing2.front()) << " s to " << (missing2.empty() ? 0 : missing2.back()) << " s";
}

}  // namespace
}  // namespace twr
