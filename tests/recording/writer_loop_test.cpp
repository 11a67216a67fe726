// The writer loop on a simulated clock: scripted inputs deliver blocks at their own pace, time
// moves only when the loop sleeps or waits for a block, so no test really sleeps.
#include "recording/writer_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "app/config.h"
#include "app/json.h"
#include "recording/input_reader.h"
#include "recording/recorder.h"
#include "recording/recovery_journal.h"
#include "recording/rf64_writer.h"
#include "recording/wav_file.h"
#include "recording/wav_test_support.h"
#include "recording/writer_test_support.h"

namespace twr {
namespace {

namespace fs = std::filesystem;
using testing::FakeInput;
using testing::FakeWorld;
using testing::kBlockSec;
using testing::kFrames;
using testing::ReadBytes;
using testing::TempDir;

class WriterLoopTest : public ::testing::Test {
protected:
    // A 16-bit stereo recording "rec" from one input on the simulated clock.
    WriterLoopTest() {
        RecorderState& st = *state_;
        st.Session = std::make_shared<RecordingSession>();
        st.Session->Id = "20240105_093000";
        st.Prefix = "rec";
        st.OutputFolder = dir_.path();
        st.JournalPath = RecoveryJournal::PathFor(dir_.path());
        st.BitsPerSample = 16;
        st.BufferFrames = kFrames;
        st.Clock = std::shared_ptr<WriterClock>(&world_, [](WriterClock*) {});
        st.Input1 = in1_;
        st.Services = RecorderServices::Platform();
        st.Services.ReadSettings = [this] { return settings_; };
        st.Services.SaveFolder = [this] { return saveFolder_; };
        st.Services.TimestampNow = [this] { return "20240105_0930" + std::to_string(10 + stampCount_++); };
        st.Services.LocalNow = [] { return platform::LocalTime{2024, 1, 5, 9, 30, 2, 0}; };
        st.Services.WriteJournal = [this, write = st.Services.WriteJournal](const fs::path& p, const JournalEntry& e) {
            write(p, e);
            std::lock_guard lock(journalMutex_);
            journals_.push_back(e);
            journalWritten_.notify_all();
        };
        st.Callbacks.OnError = [this](const std::string& m) { errors_.push_back(m); };
        st.Callbacks.OnSplit = [this] { ++splits_; };
        st.Callbacks.OnMicDisconnected = [this](int n, bool c) { disconnects_.push_back({n, c}); };
        st.Callbacks.OnMicStall = [this](int n, bool s) {
            stalls_.push_back({n, s});
            stallTimes_.push_back(world_.now);
        };
    }

    // Finished as a recording should: no error reported, the file closed and verified.
    void ExpectCleanFinish() {
        EXPECT_TRUE(errors_.empty()) << errors_.front();
        EXPECT_EQ(state_->Session->Status.load(), FinalizationStatus::Success);
    }
    // A fresh recording for the next case of a table: new clock, input and session, no files.
    void NextCase() {
        for (const auto& f : Wavs()) fs::remove(f);
        world_ = FakeWorld();
        state_->Input1 = in1_ = std::make_shared<FakeInput>(world_, 1);
        state_->Input2 = in2_ = nullptr;
        state_->Session = std::make_shared<RecordingSession>();
        state_->Session->Id = "20240105_093000";
        state_->PartNumber = 1;
        splits_ = 0;
        errors_.clear();
        disconnects_.clear();
        stalls_.clear();
        stallTimes_.clear();
    }
    void AddSecondInput() { state_->Input2 = in2_ = std::make_shared<FakeInput>(world_, 2); }
    void Run(double seconds) {
        world_.stopAt = seconds;
        state_->WriterAlive = true;
        state_->RunWriter();
        EXPECT_FALSE(state_->WriterAlive.load());
    }
    std::vector<fs::path> Wavs() const {
        std::vector<fs::path> files;
        for (auto& e : fs::recursive_directory_iterator(dir_.path()))
            if (e.path().extension() == ".wav") files.push_back(e.path());
        std::sort(files.begin(), files.end());
        return files;
    }
    // The journal has a thread of its own: waits (in real time, bounded) until n were written.
    bool WaitJournals(size_t n) {
        std::unique_lock lock(journalMutex_);
        return journalWritten_.wait_for(lock, std::chrono::seconds(20), [&] { return journals_.size() >= n; });
    }
    // The 16-bit samples of a recording.
    static std::vector<int16_t> Samples(const fs::path& p) {
        auto bytes = ReadBytes(p);
        std::vector<int16_t> s((bytes.size() - 80) / 2);
        if (!s.empty()) std::memcpy(s.data(), bytes.data() + 80, s.size() * 2);
        return s;
    }

    TempDir dir_{"twr_writer"};
    FakeWorld world_;
    std::shared_ptr<RecorderState> state_ = std::make_shared<RecorderState>();
    std::shared_ptr<FakeInput> in1_ = std::make_shared<FakeInput>(world_, 1), in2_;
    WriterSettings settings_;
    std::string saveFolder_;
    int stampCount_ = 0;
    // What the callbacks reported.
    std::vector<std::string> errors_;
    std::vector<std::pair<int, bool>> disconnects_, stalls_;
    std::vector<double> stallTimes_;
    int splits_ = 0;
    // Every journal written, in order.
    std::mutex journalMutex_;
    std::condition_variable journalWritten_;
    std::vector<JournalEntry> journals_;
};

TEST(RoutingTest, RoutesAndGainsMatchTheLayoutTableAndTheMixClampsToFullScale) {
    const float src[4] = {0.8f, -0.6f, 0.4f, 0.2f};
    const struct {
        const char* route;
        int channels;
        float gain;
        std::vector<float> expected;
    } cases[] = {
        {"Right Channel Only", 2, 1.0f, {0.0f, -0.6f, 0.0f, 0.2f}},
        {"Left Channel Only", 2, 0.5f, {0.4f, 0.0f, 0.2f, 0.0f}},
        {"Both Channels", 2, 0.5f, {0.4f, -0.3f, 0.2f, 0.1f}},
        {"Both Channels", 1, 1.0f, {0.1f, 0.3f}},
        {"Left Channel Only", 1, 1.0f, {0.8f, 0.4f}},
        {"Right Channel Only", 1, 1.0f, {-0.6f, 0.2f}},
        // Routes compare exactly: anything else is both channels.
        {"left channel only", 2, 1.0f, {0.8f, -0.6f, 0.4f, 0.2f}},
    };
    for (const auto& c : cases) {
        float dst[4] = {9, 9, 9, 9};
        ApplyRouting(src, 2, c.route, c.channels, dst, c.gain);
        for (size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_NEAR(dst[i], c.expected[i], 1e-7) << c.route << " ch " << c.channels << " sample " << i;
    }
    std::vector<float> a = {1.0f, 0.5f, -0.9f, 0.25f};
    const float b[4] = {0.8f, -0.5f, -0.9f, 0.25f};
    MixInto(a.data(), b, 4);
    EXPECT_EQ(a, (std::vector<float>{1.0f, 0.0f, -1.0f, 0.5f}));
}

TEST(NamingRuleTest, BaseNamesSuffixesAndClashCounters) {
    EXPECT_EQ(RecordingBaseName("", "20240105_093000"), "20240105_093000");
    EXPECT_EQ(PartSuffix(12), "_part0012");
    EXPECT_EQ(PartSuffix(10000), "_part10000");
    std::set<std::string> taken = {"f/rec_1.wav", "f/rec.wav", "f/rec_2_part0001.wav", "f/rec_part0001.wav"};
    auto exists = [&](const fs::path& p) { return taken.count(p.generic_string()) > 0; };
    EXPECT_EQ(ChooseRecordingPath("f", "rec", "", exists).generic_string(), "f/rec_2.wav");
    EXPECT_EQ(ChooseRecordingPath("f", "rec", "_part0001", exists).generic_string(), "f/rec_1_part0001.wav");
    int used = -1;
    EXPECT_EQ(ChooseRecordingPath("f", "new", "", exists, 3, &used).generic_string(), "f/new_3.wav");
    EXPECT_EQ(used, 3);
}

TEST(DriveRootTest, RootsAndTheSystemDrive) {
    const struct {
        const char* path;
        std::optional<std::string> root;
    } roots[] = {{"", std::nullopt}, {"D:\\Recordings", "D:\\"}, {"e:/rec", "e:/"}, {"E:", "E:"},
                 {"\\\\server\\share\\rec", "\\\\server\\share"}, {"relative\\folder", std::nullopt},
                 {"D:\\bad|name", std::nullopt}};
    for (const auto& r : roots) EXPECT_EQ(DriveRootOf(r.path), r.root) << r.path;
    const struct {
        const char* root;
        bool system;
    } drives[] = {{"C:\\", true}, {"c:/", true}, {"C:", true}, {"", true}, {"D:\\", false},
                  {"\\\\server\\share", false}, {"CC:", false}};
    for (const auto& d : drives) EXPECT_EQ(IsSystemDrive(d.root), d.system) << d.root;
}

TEST_F(WriterLoopTest, SteadyInputIsWrittenFlushedJournaledAndFinalized) {
    std::map<double, std::string> journals;  // read at 1 s and at 2.5 s
    world_.hooks.push_back([&](FakeWorld& w) {
        // The first journal is written at once, the second after the flush past 2 s.
        for (auto [at, written] : {std::pair(1.0, 1u), std::pair(2.5, 2u)})
            if (w.now >= at && !journals.count(at)) {
                EXPECT_TRUE(WaitJournals(written));
                journals[at] = platform::ReadFileBytes(state_->JournalPath);
            }
    });
    Run(5.0);
    const fs::path file = dir_ / "rec_20240105_093000.wav";
    EXPECT_EQ(Wavs(), std::vector<fs::path>{file});
    ExpectCleanFinish();
    EXPECT_EQ(state_->Session->SilenceBlocks.load(), 0);
    EXPECT_TRUE(WavFile::Verify(file, 2, 48000));
    // Every block delivered before the stop is in the file.
    const int64_t frames = state_->FramesCommitted.load();
    EXPECT_NEAR(static_cast<double>(frames), 5.0 * 48000, 2.0 * kFrames);
    EXPECT_EQ(fs::file_size(file), 80u + static_cast<uint64_t>(frames) * 4);
    for (int16_t s : Samples(file)) ASSERT_EQ(s, 8192);  // 0.25 x 32767 rounded

    // The journal names the file from the first second on, holds the state in its fixed order,
    // and is gone after a clean finish.
    ASSERT_EQ(journals.size(), 2u);
    EXPECT_EQ(JsonObject::ParseObject(journals[1.0]).GetString("current_file", ""), platform::PathText(file));
    JsonObject j = JsonObject::ParseObject(journals[2.5]);
    EXPECT_EQ(j.Keys(), (std::vector<std::string>{"session_id", "start_time", "sample_rate", "channels", "bit_depth",
                                                  "current_file", "frames_committed", "last_flush", "split_number",
                                                  "clean_close"}));
    EXPECT_EQ(std::tuple(j.GetString("session_id", ""), j.GetInt("sample_rate", 0), j.GetInt("channels", 0),
                         j.GetInt("bit_depth", 0), j.GetString("last_flush", ""), j.GetInt("split_number", 0),
                         j.GetBool("clean_close", true)),
              std::tuple(std::string("20240105_093000"), 48000, 2, 16, std::string("2024-01-05T09:30:02"), 1, false));
    // Written right after the flush past 2 s: everything up to then is committed.
    const int64_t committed = j.GetLong("frames_committed", 0);
    EXPECT_TRUE(committed >= 2.0 * 48000 && committed < 2.2 * 48000) << committed;
    EXPECT_NE(journals[2.5].find("\n    \"session_id\": \"20240105_093000\""), std::string::npos);
    EXPECT_FALSE(fs::exists(state_->JournalPath));
    EXPECT_FALSE(fs::exists(state_->JournalPath.string() + ".tmp"));
}

TEST_F(WriterLoopTest, SilenceReplacesAQuietInputAndItsStallIsReportedOnce) {
    in1_->delivering = [](double t) { return t < 1.0 || t >= 4.0; };
    std::vector<double> silenceTimes;
    world_.hooks.push_back([&](FakeWorld& w) {
        if (static_cast<size_t>(state_->Session->SilenceBlocks.load()) != silenceTimes.size())
            silenceTimes.push_back(w.now);
    });
    Run(6.0);
    const double blockPlus = kBlockSec + 0.05;
    ASSERT_FALSE(silenceTimes.empty());
    // Nothing before one block and 50 ms without audio, then one silence block per such interval.
    EXPECT_GE(silenceTimes.front(), 1.0 + blockPlus);
    for (size_t i = 1; i < silenceTimes.size(); ++i)
        EXPECT_NEAR(silenceTimes[i] - silenceTimes[i - 1], blockPlus, 0.011) << i;
    EXPECT_LT(silenceTimes.back(), 4.0 + 0.011);
    EXPECT_EQ(static_cast<size_t>(state_->Session->SilenceBlocks.load()), silenceTimes.size());
    EXPECT_EQ(stalls_, (std::vector<std::pair<int, bool>>{{1, true}, {1, false}}));
    EXPECT_NEAR(stallTimes_[0], 3.0, blockPlus + 0.011);
    EXPECT_NEAR(stallTimes_[1], 4.0, 0.011);
    ExpectCleanFinish();
}

TEST_F(WriterLoopTest, StaleBlocksOfTheSecondInputAreDiscardedAndTheMixIsClamped) {
    AddSecondInput();
    settings_.In2Gain = 1.0f;
    // A backlog of input 2 more than half a second older than input 1's first block.
    for (int i = 0; i < 20; ++i) in2_->Inject(-1.0 + i * 0.01, 0.5f);
    // 0.25 + 0.125 at first; from 2 s on the sum clamps at full scale.
    in1_->value = [](double t) { return t >= 2.0 ? 1.0f : 0.25f; };
    in2_->value = [](double t) { return t >= 2.0 ? 0.8f : 0.125f; };
    Run(3.0);
    ASSERT_EQ(Wavs().size(), 1u);
    std::map<int16_t, int> seen;
    for (int16_t s : Samples(Wavs()[0])) ++seen[s];
    EXPECT_EQ(seen.count(static_cast<int16_t>(std::lround(0.75 * 32767))), 0u) << "a stale block was mixed in";
    EXPECT_GT(seen[12288], 0);  // 0.375
    EXPECT_GT(seen[32767], 0);  // 1.0 + 0.8 clamped
    for (const auto& [value, n] : seen)
        EXPECT_TRUE(value == 12288 || value == 32767 || value == 8192 || value == 4096) << value;
    EXPECT_EQ(in2_->taken, in1_->taken + 20);
}

// Frames of a 16-bit stereo recording whose left sample is not `full`: every one of them must be a
// silence block the writer counted.
int64_t FramesOtherThan(const std::vector<int16_t>& samples, int16_t full) {
    int64_t n = 0;
    for (size_t i = 0; i < samples.size(); i += 2) n += samples[i] != full;
    return n;
}

TEST_F(WriterLoopTest, AStopDuringATakeWritesNoSilenceItDoesNotCount) {
    const struct {
        const char* name;
        bool twoInputs;
        int16_t full;         // a frame with every input present
        int64_t aloneAtEnd;   // frames of input 1 alone that end the file
    } cases[] = {
        // Input 2 goes quiet; the stop arrives while the writer waits for its block, and its
        // reader ends with the stop. Input 1's block of that step was captured before the stop:
        // it ends the file, beside the end of input 2.
        {"second input ends with the stop", true, 12288, kFrames},
        // The one input pauses for a moment and the stop arrives inside the writer's wait.
        {"one input, stop inside the wait", false, 8192, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NextCase();
        double stopAt = 60.0;
        if (c.twoInputs) {
            AddSecondInput();
            in2_->delivering = [](double t) { return t < 1.0; };
            in2_->onEmptyTake = [this] {
                if (world_.now >= 1.0) world_.Stop(), in2_->alive = false;
            };
        } else {
            in1_->delivering = [](double t) { return t < 1.0; };
            stopAt = 1.1;
        }
        Run(stopAt);
        EXPECT_TRUE(world_.stop);
        EXPECT_LT(world_.now, 1.2);
        EXPECT_TRUE(disconnects_.empty());
        ExpectCleanFinish();
        ASSERT_EQ(Wavs().size(), 1u);
        const auto samples = Samples(Wavs()[0]);
        const auto frames = static_cast<int64_t>(samples.size() / 2);
        EXPECT_EQ(FramesOtherThan(samples, c.full), c.aloneAtEnd);
        for (int64_t f = frames - c.aloneAtEnd; f < frames; ++f) ASSERT_EQ(samples[2 * f], 8192) << f;
        EXPECT_EQ(state_->Session->SilenceBlocks.load(), 0);
        EXPECT_NEAR(static_cast<double>(frames), 1.0 * 48000, 2.0 * kFrames);
    }
}

TEST_F(WriterLoopTest, SilenceBeforeAnInputsFirstBlockIsNoLoss) {
    const struct {
        const char* name;
        std::function<bool(double)> delivering;
        bool counted;  // whether any silence counts as a substitution
        std::vector<std::pair<int, bool>> stalls;
    } cases[] = {
        // A device slow to start: the file still begins with the silence put in meanwhile.
        {"first block 300 ms late", [](double t) { return t >= 0.3; }, false, {}},
        // Once the input has delivered, a gap is lost audio again.
        {"late start, then a gap", [](double t) { return t >= 0.3 && (t < 1.5 || t >= 2.0); }, true, {}},
        // An input that says nothing until its stall is reported is not starting up: it is silent.
        {"first block after the stall", [](double t) { return t >= 3.0; }, true, {{1, true}, {1, false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NextCase();
        in1_->delivering = c.delivering;
        Run(4.0);
        ExpectCleanFinish();
        EXPECT_EQ(stalls_, c.stalls);
        ASSERT_EQ(Wavs().size(), 1u);
        const auto samples = Samples(Wavs()[0]);
        const int64_t silentFrames = FramesOtherThan(samples, 8192);
        int64_t leading = 0;
        while (leading < static_cast<int64_t>(samples.size() / 2) && samples[2 * leading] == 0) ++leading;
        // The timeline is kept: the wait for the first block is in the file as silence.
        EXPECT_GT(leading, 0);
        EXPECT_EQ(leading % kFrames, 0);
        const int64_t counted = state_->Session->SilenceBlocks.load() * int64_t{kFrames};
        if (!c.counted) {
            EXPECT_EQ(counted, 0);
            EXPECT_EQ(silentFrames, leading);
        } else if (c.stalls.empty()) {
            EXPECT_EQ(counted, silentFrames - leading);
            EXPECT_GT(counted, 0);
        } else {
            // Counted from the stall on, not before it.
            EXPECT_GT(counted, 0);
            EXPECT_LT(counted, leading);
            EXPECT_EQ(silentFrames, leading);
        }
    }
}

TEST_F(WriterLoopTest, AStopThatComesWithASplitLeavesNoEmptyPart) {
    const fs::path part1 = dir_ / "rec_20240105_093000_part0001.wav";
    const fs::path part2 = dir_ / "rec_20240105_093010_part0002.wav";
    const struct {
        const char* name;
        bool duringClose;
        std::vector<fs::path> onDisk;  // part 1 of the second case is on a simulated disk
        fs::path last;                 // the part the recording ends with
    } cases[] = {
        // The input pauses for a moment; the stop and the split timer both come while the writer
        // waits for its next block, which is captured after both: no part begins for it.
        {"stop and split in one step", false, {part1}, part1},
        // The stop comes while part 1 is forced to the disk (seconds on a slow drive): the block
        // that made the split due was captured before the stop, and part 2 holds it.
        {"stop while the part closes", true, {part2}, part2},
    };
    state_->AutoSplitSecs = 600;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NextCase();
        stampCount_ = 0;
        double stopAt = 60.0;
        auto platformCreate = RecorderServices::Platform().CreateFile;
        std::shared_ptr<testing::MemoryDisk> firstPart;
        bool requested = false;
        if (c.duringClose) {
            firstPart = std::make_shared<testing::MemoryDisk>();
            firstPart->onFlushToDisk = [this] { world_.Stop(); };
            state_->Services.CreateFile = [&, platformCreate](const fs::path& p, int r, int ch, int b) {
                if (!firstPart->closed && firstPart->bytes.empty())
                    return std::make_unique<Rf64Writer>(std::make_unique<testing::MemoryFile>(firstPart), r, ch, b);
                return platformCreate(p, r, ch, b);
            };
            world_.hooks.push_back([&](FakeWorld& w) {
                if (!requested && w.now >= 1.0) requested = true, state_->RequestSplit(w.now);
            });
        } else {
            state_->Services.CreateFile = platformCreate;
            in1_->delivering = [](double t) { return t < 1.0 || t >= 1.1; };
            world_.hooks.push_back([&](FakeWorld& w) {
                if (!requested && w.now >= 1.1) requested = true, state_->RequestSplit(1.1);
            });
            stopAt = 1.1;
        }
        // The part the recording ends with is verified however it was closed, and what the
        // verification says is the recording's status.
        std::vector<fs::path> verified;
        state_->Services.Verify = [&](const fs::path& p, int, int) { return verified.push_back(p), false; };
        Run(stopAt);
        EXPECT_TRUE(world_.stop);
        EXPECT_EQ(Wavs(), c.onDisk);
        for (const auto& p : Wavs()) EXPECT_TRUE(WavFile::Verify(p, 2, 48000)) << p;
        if (c.duringClose) {
            EXPECT_TRUE(firstPart->closed);
            EXPECT_EQ(Samples(part2).size() / 2, static_cast<size_t>(kFrames));
        }
        EXPECT_EQ(verified, std::vector<fs::path>{c.last});
        EXPECT_EQ(state_->Session->Status.load(), FinalizationStatus::ClosedWithWarnings);
        EXPECT_TRUE(errors_.empty());
        const int parts = c.last == part1 ? 1 : 2;
        EXPECT_EQ(splits_, parts - 1);
        EXPECT_EQ(state_->Session->SplitCount.load(), parts - 1);
        EXPECT_EQ(state_->PartNumber.load(), parts);
        EXPECT_EQ(state_->Session->SilenceBlocks.load(), 0);
        EXPECT_EQ(state_->Session->DroppedBlocks.load(), 0);
        EXPECT_FALSE(fs::exists(state_->JournalPath));
    }
}

// A file on a drive that is slow or fails: forcing it to the disk and writing to it run hooks
// first, which move the simulated clock or throw as such a drive would.
class HookedFile final : public AudioFile {
public:
    HookedFile(std::unique_ptr<AudioFile> file, std::function<void()> beforeFlush, std::function<void()> beforeWrite)
        : file_(std::move(file)), beforeFlush_(std::move(beforeFlush)), beforeWrite_(std::move(beforeWrite)) {}
    size_t ReadAt(uint64_t offset, void* out, size_t size) override { return file_->ReadAt(offset, out, size); }
    void WriteAt(uint64_t offset, const void* data, size_t size) override {
        if (beforeWrite_) beforeWrite_();
        file_->WriteAt(offset, data, size);
    }
    uint64_t Size() override { return file_->Size(); }
    void Truncate(uint64_t size) override { file_->Truncate(size); }
    void FlushToDisk() override {
        if (beforeFlush_) beforeFlush_();
        file_->FlushToDisk();
    }
    void Close() override { file_->Close(); }

private:
    std::unique_ptr<AudioFile> file_;
    std::function<void()> beforeFlush_, beforeWrite_;
};

// The default format (2048-frame blocks, a queue of 100 blocks holds about 4.3 s), splits every
// 5 s on a drive where forcing a part to the disk takes 3 s, and the stop key at 12.25 s: the
// second split's close runs from 10 s to 13 s, so the stop comes while it is forcing part 2 out.
class SlowDriveTest : public WriterLoopTest {
protected:
    static constexpr int kDefaultFrames = 2048;
    static constexpr double kDefaultSec = kDefaultFrames / 48000.0;
    static constexpr double kStopAt = 12.25;

    void Prepare(bool twoInputs, bool splits) {
        NextCase();
        state_->BufferFrames = kDefaultFrames;
        state_->AutoSplitSecs = splits ? 5 : 0;
        state_->Input1 = in1_ = std::make_shared<FakeInput>(world_, 1, kDefaultFrames, kDefaultSec);
        in1_->capacity = InputReader::QueueBound(48000, kDefaultFrames);
        if (twoInputs) {
            state_->Input2 = in2_ = std::make_shared<FakeInput>(world_, 2, kDefaultFrames, kDefaultSec);
            in2_->capacity = InputReader::QueueBound(48000, kDefaultFrames);
        }
        nextSplit_ = splits ? 5.0 : 1e9;
        world_.hooks.push_back([this](FakeWorld& w) {
            if (w.now >= nextSplit_ && !w.stop) state_->RequestSplit(nextSplit_), nextSplit_ += 5.0;
        });
        beforeWrite = nullptr;
        refuseAfterStop = false;
        state_->Services.CreateFile = [this](const fs::path& p, int r, int ch, int b) {
            if (refuseAfterStop && world_.stop) throw IoError("There is not enough space on the disk.", 112);
            auto file = std::make_unique<HookedFile>(
                OpenAudioFile(p, FileAccess::CreateNewWrite), [this] { world_.AdvanceTo(world_.now + flushSeconds); },
                [this] {
                    if (beforeWrite) beforeWrite();
                });
            return std::make_unique<Rf64Writer>(std::move(file), r, ch, b);
        };
        flushSeconds = 3.0;
        verified.clear();
        state_->Services.Verify = [this](const fs::path& p, int ch, int r) {
            verified.push_back(p);
            return WavFile::Verify(p, ch, r);
        };
    }
    // Frames of the blocks input 1 delivered before the stop, and frames in all parts on disk.
    int64_t FramesBeforeStop() const {
        int64_t blocks = 0;
        for (double t : in1_->delivered) blocks += t <= world_.stopTime;
        return blocks * kDefaultFrames;
    }
    int64_t FramesOnDisk() const {
        int64_t frames = 0;
        for (const auto& p : Wavs()) frames += static_cast<int64_t>(Samples(p).size() / 2);
        return frames;
    }

    // Each block of input n carries its own time stamp, so that the parts tell which blocks they hold.
    void StampBlocks(FakeInput& input) {
        input.value = [](double t) { return static_cast<float>(t / kStampScale); };
    }
    // The stamps of the blocks in all parts, in order, decoded from the samples of stamped blocks;
    // with firsts, the stamp each part begins with.
    std::vector<double> StampsOnDisk(std::vector<double>* firsts = nullptr) const {
        std::vector<double> stamps;
        for (const auto& p : Wavs()) {
            const auto samples = Samples(p);
            for (size_t i = 0; i < samples.size(); i += 2 * kDefaultFrames) {
                const double t = samples[i] / 32767.0 * kStampScale;
                if (firsts && i == 0) firsts->push_back(t);
                stamps.push_back(t);
            }
        }
        return stamps;
    }
    // Whether two lists of stamps name the same blocks: a 16-bit sample holds a stamp to within a
    // small fraction of a block.
    static ::testing::AssertionResult SameBlocks(const std::vector<double>& got, const std::vector<double>& want) {
        for (size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
            if (i >= got.size() || i >= want.size() || std::abs(got[i] - want[i]) > kDefaultSec / 4)
                return ::testing::AssertionFailure()
                       << got.size() << " blocks on disk, " << want.size() << " expected; the first difference at block "
                       << i << ": " << (i < got.size() ? got[i] : -1) << " s against "
                       << (i < want.size() ? want[i] : -1) << " s";
        }
        return ::testing::AssertionSuccess();
    }

    static constexpr double kStampScale = 20.0;  // seconds at full scale
    double flushSeconds = 3.0;
    double nextSplit_ = 1e9;
    std::function<void()> beforeWrite;
    bool refuseAfterStop = false;
    std::vector<fs::path> verified;
};

TEST_F(SlowDriveTest, AStopKeepsEveryBlockCapturedBeforeIt) {
    const struct {
        const char* name;
        bool twoInputs, splits;
        double writeHeldAt;  // from then on the next write is held up for 2 s
        size_t parts;
    } cases[] = {
        {"stop during a split's slow close", false, true, 1e9, 3},
        {"two inputs, stop during a split's slow close", true, true, 1e9, 3},
        // A write held up from 11 s to 13 s leaves the writer that far behind at the stop.
        {"stop while the writer is behind", false, false, 11.0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(c.twoInputs, c.splits);
        bool held = false;
        beforeWrite = [&] {
            if (!held && world_.now >= c.writeHeldAt) held = true, world_.AdvanceTo(world_.now + 2.0);
        };
        Run(kStopAt);
        ExpectCleanFinish();
        EXPECT_EQ(world_.stopTime, kStopAt);
        EXPECT_GT(world_.now, kStopAt) << "the writer was behind when the stop came";
        EXPECT_EQ(in1_->dropped, 0);
        EXPECT_EQ(state_->Session->DroppedBlocks.load(), 0);
        EXPECT_EQ(state_->Session->SilenceBlocks.load(), 0);
        const auto parts = Wavs();
        ASSERT_EQ(parts.size(), c.parts);
        for (const auto& p : parts) EXPECT_TRUE(WavFile::Verify(p, 2, 48000)) << p;
        EXPECT_EQ(verified, std::vector<fs::path>{parts.back()});
        // Every block captured before the stop is in the parts, and nothing captured after it.
        EXPECT_EQ(FramesOnDisk(), FramesBeforeStop());
        EXPECT_EQ(splits_, static_cast<int>(c.parts) - 1);
        // The two inputs stay paired to the end: every frame holds both.
        const auto last = Samples(parts.back());
        EXPECT_EQ(FramesOtherThan(last, last.at(0)), 0);
    }
}

TEST_F(SlowDriveTest, PauseResumeAndSplitActOnWhenTheAudioWasCaptured) {
    const struct {
        const char* name;
        std::vector<std::pair<double, bool>> keys;  // pause (true) and resume (false) keys
        double stop;
        double flush;
        bool twoInputs;
    } cases[] = {
        // The pause comes while part 1 is forced to the disk (5 s to 8 s): the audio captured
        // between the split and the pause is still queued.
        {"pause during a slow close", {{6.5, true}, {9.5, false}}, 13.0, 3.0, false},
        {"pause during a slow close, two inputs", {{6.5, true}, {9.5, false}}, 13.0, 3.0, true},
        // Paused and resumed while the writer is held up: the writer finds a queue that holds both.
        {"a short pause inside the close", {{5.8, true}, {6.8, false}}, 12.0, 3.0, false},
        // Stopped while paused, during the close: what came before the pause is kept.
        {"stop while paused", {{5.8, true}}, 7.3, 3.0, false},
        // Each close takes longer than a part lasts: the split timer's requests pile up.
        {"closes of 6 s", {}, 14.0, 6.0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(c.twoInputs, true);
        flushSeconds = c.flush;
        StampBlocks(*in1_);
        if (c.twoInputs) in2_->value = [](double) { return 0.0f; };
        size_t next = 0;
        world_.hooks.push_back([&](FakeWorld& w) {
            for (; next < c.keys.size() && w.now >= c.keys[next].first; ++next)
                state_->RequestPause(c.keys[next].second, c.keys[next].first);
        });
        Run(c.stop);
        ExpectCleanFinish();
        EXPECT_EQ(state_->Session->DroppedBlocks.load(), 0);
        EXPECT_EQ(state_->Session->SilenceBlocks.load(), 0);
        // On disk: every block captured before the stop and outside the pause, and nothing else.
        auto paused = [&](double t) {
            bool p = false;
            for (const auto& [at, pause] : c.keys)
                if (at < t) p = pause;
            return p;
        };
        std::vector<double> want;
        for (double t : in1_->delivered)
            if (t <= c.stop && !paused(t)) want.push_back(t);
        std::vector<double> firsts;
        EXPECT_TRUE(SameBlocks(StampsOnDisk(&firsts), want));
        // Each part after the first begins with the first block written after its split request.
        ASSERT_EQ(firsts.size(), static_cast<size_t>(splits_ + 1));
        for (size_t k = 1; k < firsts.size(); ++k) {
            const double request = 5.0 * static_cast<double>(k);
            const auto first = std::upper_bound(want.begin(), want.end(), request);
            ASSERT_NE(first, want.end());
            EXPECT_NEAR(firsts[k], *first, kDefaultSec / 4) << "part " << k + 1;
        }
        for (size_t k = 0; k + 1 < firsts.size(); ++k)
            EXPECT_GT(firsts[k + 1] - firsts[k], 4.0) << "part " << k + 1 << " is short";
    }
}

TEST_F(SlowDriveTest, InputTwoIsKeptWhileInputOneDeliversNothing) {
    const struct {
        const char* name;
        std::function<bool(double)> delivering1;
        bool dies;
    } cases[] = {
        // Its device is gone and the recording goes on with input 2.
        {"input 1 lost at 2 s", [](double t) { return t < 2.0; }, true},
        // A loopback whose output plays nothing from 2 s to 8 s, then plays again while the writer
        // is still behind the close of part 1: input 1's new audio must not push out input 2's
        // queued audio of the same seconds.
        {"input 1 idle from 2 s to 8 s", [](double t) { return t < 2.0 || t >= 8.0; }, false},
    };
    settings_.ContinueOnMicDisconnect = true;
    settings_.In2Gain = 1.0f;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(true, true);
        in1_->value = [](double) { return 0.0f; };
        StampBlocks(*in2_);
        in1_->delivering = c.delivering1;
        if (c.dies) world_.hooks.push_back([this](FakeWorld& w) { in1_->alive = w.now < 2.0; });
        Run(kStopAt);
        EXPECT_TRUE(errors_.empty()) << errors_.front();
        EXPECT_EQ(state_->Session->DroppedBlocks.load(), 0);
        std::vector<double> want;
        for (double t : in2_->delivered)
            if (t <= kStopAt) want.push_back(t);
        EXPECT_TRUE(SameBlocks(StampsOnDisk(), want));
        // Input 1's silence is counted as substituted for the time it delivered nothing.
        const auto silence = static_cast<int64_t>(state_->Session->SilenceBlocks.load());
        const double quiet = c.dies ? kStopAt - 2.0 : 6.0;
        EXPECT_NEAR(static_cast<double>(silence) * kDefaultSec, quiet, 0.2);
    }
}

TEST_F(WriterLoopTest, InputTwoBlocksDroppedToStayAlignedAreCountedOnceInputOneHasDelivered) {
    AddSecondInput();
    // Input 2 runs ahead: a burst of stale blocks stamped 1.0 s to 1.2 s arrives at 2 s, more than
    // half a second behind input 1, which has delivered all along.
    world_.hooks.push_back([this, injected = false](FakeWorld& w) mutable {
        if (injected || w.now < 2.0) return;
        injected = true;
        for (int i = 0; i < 20; ++i) in2_->Inject(1.0 + i * 0.01, 0.5f);
    });
    Run(3.0);
    ExpectCleanFinish();
    EXPECT_EQ(state_->Session->DroppedBlocks.load(), 20);
    EXPECT_EQ(state_->Session->SilenceBlocks.load(), 0);
}

TEST_F(SlowDriveTest, AnInputThatWentQuietBeforeTheStopIsStillAGapInTheDrain) {
    // Input 2 goes quiet at 11.5 s, while the writer is held up from 11 s to 13 s; the stop at
    // 12.25 s finds input 1's blocks of that time still queued.
    Prepare(true, false);
    in2_->delivering = [](double t) { return t < 11.5; };
    bool held = false;
    beforeWrite = [&] {
        if (!held && world_.now >= 11.0) held = true, world_.AdvanceTo(world_.now + 2.0);
    };
    Run(kStopAt);
    ExpectCleanFinish();
    const auto samples = Samples(Wavs().at(0));
    const int64_t alone = FramesOtherThan(samples, samples.at(0));
    const int64_t counted = state_->Session->SilenceBlocks.load() * int64_t{kDefaultFrames};
    EXPECT_EQ(FramesOnDisk(), FramesBeforeStop());
    EXPECT_GT(alone, 10 * kDefaultFrames);
    // All but what lies within a block and the 50 ms of jitter after input 2's last block, where
    // it could simply have ended with the stop.
    EXPECT_LE(counted, alone);
    EXPECT_GE(counted, alone - 2 * kDefaultFrames);
}

TEST_F(SlowDriveTest, AudioFromBeforeTheStopThatCannotBeWrittenIsCountedAsDropped) {
    const struct {
        const char* name;
        bool refusePart;  // the part after the split cannot be created
        bool failWrites;  // every write after the stop fails
        FinalizationStatus status;
    } cases[] = {
        // Part 2 closed and verified; what was meant for part 3 is lost, and counted.
        {"the next part cannot be created", true, false, FinalizationStatus::Success},
        // The part that is open cannot take the rest, and cannot be closed cleanly either.
        {"the disk is full after the stop", false, true, FinalizationStatus::FinalizationFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(false, c.refusePart);
        refuseAfterStop = c.refusePart;
        bool held = false;
        beforeWrite = [&] {
            if (c.failWrites && world_.stop) throw IoError("There is not enough space on the disk.", 112);
            if (!c.refusePart && !held && world_.now >= 11.0) held = true, world_.AdvanceTo(world_.now + 2.0);
        };
        Run(kStopAt);
        // The user stopped: the loss is told by the report's counts, not by an error on top.
        EXPECT_TRUE(errors_.empty()) << errors_.front();
        EXPECT_EQ(state_->Session->Status.load(), c.status);
        const int64_t dropped = state_->Session->DroppedBlocks.load();
        EXPECT_GE(dropped, 1);
        if (c.refusePart) {
            EXPECT_EQ(dropped * kDefaultFrames, FramesBeforeStop() - FramesOnDisk());
            EXPECT_EQ(verified, std::vector<fs::path>{Wavs().back()});
            EXPECT_EQ(Wavs().size(), 2u);
        }
    }
}

TEST_F(WriterLoopTest, AJournalWriteThatTakesThreeSecondsCostsNoAudio) {
    // 96000 Hz in 512-frame blocks: a reader's queue of 100 blocks holds about half a second.
    constexpr int kFast = 512;
    state_->SampleRate = 96000;
    state_->BufferFrames = kFast;
    in1_ = std::make_shared<FakeInput>(world_, 1, kFast, kFast / 96000.0);
    in1_->capacity = 100;
    state_->Input1 = in1_;
    // A drive on which forcing the journal out takes 3 s of session time, on whatever thread asks.
    std::mutex m;
    std::condition_variable moved;
    double seen = 0;
    bool ended = false;
    world_.hooks.push_back([&](FakeWorld& w) {
        {
            std::lock_guard lock(m);
            seen = w.now;
            ended = w.stop;
        }
        moved.notify_all();
    });
    const std::thread::id writerThread = std::this_thread::get_id();
    std::atomic<int> onWriterThread{0};
    state_->Services.WriteJournal = [&, write = state_->Services.WriteJournal](const fs::path& p,
                                                                               const JournalEntry& e) {
        if (std::this_thread::get_id() == writerThread) {
            ++onWriterThread;
            world_.AdvanceTo(world_.now + 3.0);
        } else {
            std::unique_lock lock(m);
            const double until = seen + 3.0;
            moved.wait_for(lock, std::chrono::seconds(20), [&] { return seen >= until || ended; });
        }
        write(p, e);
    };
    Run(10.0);
    EXPECT_EQ(onWriterThread.load(), 0);
    EXPECT_EQ(in1_->dropped, 0);
    EXPECT_EQ(state_->Session->SilenceBlocks.load(), 0);
    ExpectCleanFinish();
    EXPECT_NEAR(static_cast<double>(state_->FramesCommitted.load()), 10.0 * 96000, 2.0 * kFast);
    // The journal was kept all along, never going back to an older state, and no write landed after
    // its deletion.
    std::lock_guard lock(journalMutex_);
    ASSERT_GE(journals_.size(), 2u);
    EXPECT_EQ(journals_.front().FramesCommitted, 0);
    for (size_t i = 1; i < journals_.size(); ++i)
        EXPECT_GE(journals_[i].FramesCommitted, journals_[i - 1].FramesCommitted) << i;
    EXPECT_FALSE(fs::exists(state_->JournalPath));
    EXPECT_FALSE(fs::exists(state_->JournalPath.string() + ".tmp"));
}

class DeadInputTest : public WriterLoopTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DeadInputTest, DeadInputsContinueOrEndAsConfigured) {
    const bool continueOn = GetParam();
    AddSecondInput();
    settings_.ContinueOnMicDisconnect = continueOn;
    world_.hooks.push_back([this](FakeWorld& w) {
        if (w.now >= 1.0) in1_->alive = false;
        if (w.now >= 5.0) in2_->alive = false;
    });
    Run(8.0);
    using Reports = std::vector<std::pair<int, bool>>;
    if (continueOn) {
        EXPECT_EQ(disconnects_, (Reports{{1, true}, {2, false}}));
        EXPECT_NEAR(world_.now, 5.0, 0.2);
        // The dead input is filled with silence, and its stall is reported once, about 2 s later.
        EXPECT_EQ(stalls_, (Reports{{1, true}}));
        EXPECT_NEAR(stallTimes_[0], 3.0, 0.2);
        EXPECT_GT(state_->Session->SilenceBlocks.load(), 20);
    } else {
        EXPECT_EQ(disconnects_, (Reports{{1, false}}));
        EXPECT_NEAR(world_.now, 1.0, 0.2);
    }
    ExpectCleanFinish();
    EXPECT_TRUE(WavFile::Verify(Wavs().at(0), 2, 48000));
}

INSTANTIATE_TEST_SUITE_P(ContinueOnDisconnect, DeadInputTest, ::testing::Bool());

TEST_F(WriterLoopTest, StartupWaitEndsWithoutAFile) {
    const struct {
        const char* name;
        bool settles, fails;
        double stopAt;
        std::vector<std::string> errors;
        double endsAt;
    } cases[] = {
        {"never settles", false, false, 60.0, {"Timed out waiting for the audio devices to start."}, 10.0},
        {"stopped while waiting", false, false, 3.0, {}, 3.0},
        {"failed to open", true, true, 60.0, {"Failed to initialize audio devices.\n\nendpoint gone"}, 0.0},
    };
    in1_->error = "endpoint gone";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        world_ = FakeWorld();
        errors_.clear();
        in1_->settled = c.settles;
        in1_->failed = c.fails;
        state_->Session->Status = FinalizationStatus::Recording;
        Run(c.stopAt);
        EXPECT_EQ(errors_, c.errors);
        EXPECT_NEAR(world_.now, c.endsAt, 0.011);
        EXPECT_TRUE(Wavs().empty());
        EXPECT_FALSE(fs::exists(state_->JournalPath));
        EXPECT_EQ(state_->Session->Status.load(), FinalizationStatus::Success);
    }
}

TEST_F(WriterLoopTest, SplitsOpenNumberedPartsAndWaitForTheEndOfAPause) {
    state_->AutoSplitSecs = 600;
    std::string journalAfterSplit;
    bool requestedFirst = false, requestedSecond = false, resumed = false;
    world_.hooks.push_back([&](FakeWorld& w) {
        if (!requestedFirst && w.now >= 1.0) requestedFirst = true, state_->RequestSplit(1.0);
        // A split asked for during a pause waits until the pause ends.
        if (!requestedSecond && w.now >= 2.0)
            requestedSecond = true, state_->RequestPause(true, 2.0), state_->RequestSplit(2.0);
        if (w.now >= 2.5 && w.now < 3.0) {
            EXPECT_EQ(state_->PartNumber.load(), 2) << "split during the pause";
        }
        if (!resumed && w.now >= 3.0) resumed = true, state_->RequestPause(false, 3.0);
        // Nothing newer is handed to the journal before the next step's write.
        if (journalAfterSplit.empty() && splits_ == 1) {
            std::unique_lock lock(journalMutex_);
            EXPECT_TRUE(journalWritten_.wait_for(lock, std::chrono::seconds(20), [&] {
                return !journals_.empty() && journals_.back().SplitNumber == 2;
            }));
            journalAfterSplit = platform::ReadFileBytes(state_->JournalPath);
        }
    });
    Run(4.0);
    const std::vector<fs::path> expected = {dir_ / "rec_20240105_093000_part0001.wav",
                                            dir_ / "rec_20240105_093010_part0002.wav",
                                            dir_ / "rec_20240105_093011_part0003.wav"};
    EXPECT_EQ(Wavs(), expected);
    EXPECT_EQ(splits_, 2);
    EXPECT_EQ(state_->Session->SplitCount.load(), 2);
    EXPECT_EQ(state_->PartNumber.load(), 3);
    for (const auto& f : expected) EXPECT_TRUE(WavFile::Verify(f, 2, 48000)) << f;
    // The third part started when the pause ended, at 3 s: it holds about one second.
    EXPECT_NEAR(static_cast<double>(state_->FramesCommitted.load()), 48000.0, 2.0 * kFrames);
    JsonObject j = JsonObject::ParseObject(journalAfterSplit);
    EXPECT_EQ(j.GetInt("split_number", 0), 2);
    EXPECT_EQ(j.GetLong("frames_committed", -1), 0);
    EXPECT_EQ(j.GetString("current_file", ""), platform::PathText(expected[1]));
    ExpectCleanFinish();
}

struct SplitFailure {
    const char* name;
    std::string error;
    FinalizationStatus status;
    bool journalKept;
};
void PrintTo(const SplitFailure& f, std::ostream* os) { *os << f.name; }

class SplitFailureTest : public WriterLoopTest, public ::testing::WithParamInterface<SplitFailure> {};

TEST_P(SplitFailureTest, EndsTheRecordingAndReportsOnce) {
    const SplitFailure& c = GetParam();
    const std::string name = c.name;
    int created = 0;
    auto platformCreate = state_->Services.CreateFile;
    state_->Services.CreateFile = [&, platformCreate](const fs::path& p, int r, int ch, int b) {
        ++created;
        if (name == "CloseFails") {
            auto disk = std::make_shared<testing::MemoryDisk>();
            disk->flushFails = true;
            return std::make_unique<Rf64Writer>(std::make_unique<testing::MemoryFile>(disk), r, ch, b);
        }
        if (name == "NextFileRefused" && created == 2) throw IoError("Access is denied.");
        return platformCreate(p, r, ch, b);
    };
    if (name == "DriveGone") {
        saveFolder_ = "E:\\Rec";
        auto realExists = state_->Services.Exists;
        state_->Services.Exists = [realExists](const fs::path& p) { return p.string() != "E:\\" && realExists(p); };
    }
    bool requested = false;
    world_.hooks.push_back([&](FakeWorld& w) {
        if (!requested && w.now >= 1.0) requested = true, state_->RequestSplit(w.now);
    });
    Run(3.0);
    EXPECT_EQ(errors_, std::vector<std::string>{c.error});
    EXPECT_EQ(splits_, 0);
    EXPECT_NEAR(world_.now, 1.0, 0.05) << "the recording ends at the failed split";
    EXPECT_EQ(state_->Session->Status.load(), c.status);
    EXPECT_EQ(fs::exists(state_->JournalPath), c.journalKept);
    // Only a part that did not close is a failed finalization.
    EXPECT_EQ(state_->Session->Error, c.journalKept ? std::optional(c.error) : std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitFailureTest,
    ::testing::Values(SplitFailure{"CloseFails", "Failed to close split file: The device is not ready.",
                                   FinalizationStatus::FinalizationFailed, true},
                      SplitFailure{"DriveGone", "Output drive disconnected during auto-split.",
                                   FinalizationStatus::Success, false},
                      SplitFailure{"NextFileRefused", "Failed to open next split file: Access is denied.",
                                   FinalizationStatus::Success, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WriterLoopTest, ANameTakenAfterItWasChosenIsNeverOverwritten) {
    const fs::path taken = dir_ / "rec_20240105_093000.wav";
    testing::WriteBytes(taken, {1, 2, 3});
    // The check says free (another program creates the file right after it).
    int asked = 0;
    auto realExists = state_->Services.Exists;
    state_->Services.Exists = [&, realExists](const fs::path& p) { return ++asked == 1 ? false : realExists(p); };
    Run(1.0);
    EXPECT_EQ(ReadBytes(taken), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(state_->CurrentFile(), dir_ / "rec_20240105_093000_1.wav");
    ExpectCleanFinish();
}

TEST_F(WriterLoopTest, AFullDiskTakesNoFurtherNamesAndLeavesNoEmptyFile) {
    // The file is made, then its header does not fit: a retry under the next name would fail
    // the same way, a thousand times over.
    int created = 0;
    state_->Services.CreateFile = [&](const fs::path& p, int, int, int) -> std::unique_ptr<Rf64Writer> {
        ++created;
        testing::WriteBytes(p, {});
        throw IoError("There is not enough space on the disk. : '" + p.string() + "'", 112);
    };
    Run(1.0);
    EXPECT_EQ(created, 1);
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_NE(errors_[0].find("There is not enough space on the disk."), std::string::npos) << errors_[0];
    for (const auto& e : fs::directory_iterator(state_->OutputFolder))
        EXPECT_NE(e.path().extension(), ".wav") << "no recording file may be left behind: " << e.path();
}

TEST_F(WriterLoopTest, AFailureOfUnknownKindIsStillReportedAndTheFileFinalized) {
    in1_->delivering = [](double t) { return t < 1.0; };
    state_->Callbacks.OnMicStall = [](int, bool) { throw 42; };
    Run(6.0);
    EXPECT_EQ(errors_, std::vector<std::string>{"An error occurred during recording: unknown exception"});
    EXPECT_EQ(state_->Session->Error, std::string("unknown exception"));
    EXPECT_EQ(state_->Session->Status.load(), FinalizationStatus::Success);
    ASSERT_EQ(Wavs().size(), 1u);
    EXPECT_TRUE(WavFile::Verify(Wavs()[0], 2, 48000));
    EXPECT_FALSE(fs::exists(state_->JournalPath));
}

// A capture stream that yields samples at the pace of a real 48000 Hz device.
class PacedStream : public AudioStream {
public:
    int Read(std::span<float> buffer, int offset, int count) override {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const int64_t due = static_cast<int64_t>(elapsed * 48000) * 2 - delivered_;
        const int n = static_cast<int>(std::min<int64_t>(count, std::max<int64_t>(due, 0)));
        std::fill_n(buffer.begin() + offset, n, 0.25f);
        delivered_ += n;
        return n;
    }
    bool WaitForData(int timeoutMs) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 5)));
        return true;
    }
    bool EventDriven() const noexcept override { return false; }
    void Dispose() noexcept override {}

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    int64_t delivered_ = 0;
};

class PacedBackend : public CaptureBackend {
public:
    // Open waits until `openGate` is set (or 5 s have passed).
    std::atomic<bool> openGate{true};
    std::unique_ptr<AudioStream> Open(const std::string&, bool, int, int) override {
        for (int i = 0; i < 500 && !openGate.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return std::make_unique<PacedStream>();
    }
};

class RecorderTest : public ::testing::Test {
protected:
    RecorderTest() : config_(dir_ / "config.json") {
        config_.Data().Set("save_folder", platform::PathText(dir_.path()));
    }
    std::unique_ptr<Recorder> Make() {
        auto r = std::make_unique<Recorder>(config_, backend_, [](RecorderServices s) {
            s.TimestampNow = [] { return std::string("20240105_093000"); };
            return s;
        });
        r->OnError = [this](const std::string&) { ++errors_; };
        return r;
    }
    static bool WaitFor(const Recorder& r) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (r.WriterAlive() || r.ReadersAlive()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    const AudioDevice mic_{"mic-1", "Mic", false};
    TempDir dir_{"twr_recorder"};
    Config config_;
    std::shared_ptr<PacedBackend> backend_ = std::make_shared<PacedBackend>();
    std::atomic<int> errors_{0};
};

TEST_F(RecorderTest, StartChoosesFolderAndNameAndTheThreadsFinalizeTheFile) {
    const struct {
        const char* name;
        int autoSplit;
        bool group, clash;
        std::string expected;  // relative to the save folder
    } cases[] = {
        {"plain", 0, true, false, "rec_20240105_093000.wav"},
        {"clash", 0, true, true, "rec_20240105_093000_1.wav"},
        {"grouped parts", 600, true, false, "rec_20240105_093000/rec_20240105_093000_part0001.wav"},
        {"parts, not grouped", 600, false, false, "rec_20240105_093000_part0001.wav"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (auto& e : fs::directory_iterator(dir_.path()))
            if (e.path().filename() != "config.json") fs::remove_all(e.path());
        if (c.clash) testing::WriteBytes(dir_ / "rec_20240105_093000.wav", {1});
        config_.Set("auto_split_secs", c.autoSplit);
        config_.Data().Set("group_splits", c.group);
        auto recorder = Make();
        const AudioDevice second{"mic-2", "Mic 2", false};
        recorder->Start(mic_, c.clash ? &second : nullptr, 48000, 2, 16, 480, "rec");
        const fs::path expected = dir_.path() / platform::U8Path(c.expected);
        EXPECT_EQ(recorder->CurrentFile(), expected);
        EXPECT_EQ(recorder->JournalPath(), expected.parent_path() / "active_recording.json");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(recorder->ReadersAlive());
        recorder->Stop();
        ASSERT_TRUE(WaitFor(*recorder));
        EXPECT_EQ(recorder->Session()->Status.load(), FinalizationStatus::Success);
        EXPECT_GT(recorder->FramesCommitted(), 0);
        EXPECT_TRUE(WavFile::Verify(expected, 2, 48000));
        EXPECT_FALSE(fs::exists(recorder->JournalPath()));
        EXPECT_EQ(errors_.load(), 0);
    }
}

TEST_F(RecorderTest, StopBeforeTheInputsOpenEndsWithoutAFileOrAnError) {
    backend_->openGate = false;
    auto recorder = Make();
    recorder->Start(mic_, nullptr, 48000, 1, 24, 480, "rec");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    recorder->Stop();
    backend_->openGate = true;
    ASSERT_TRUE(WaitFor(*recorder));
    EXPECT_EQ(recorder->Session()->Status.load(), FinalizationStatus::Success);
    EXPECT_FALSE(fs::exists(recorder->CurrentFile()));
    EXPECT_EQ(errors_.load(), 0);
}

TEST_F(RecorderTest, UnsupportedFormatsAreRefusedBeforeAnythingStarts) {
    config_.Set("auto_split_secs", 600);
    const struct {
        int rate, channels, bits, frames;
    } cases[] = {{48000, 0, 16, 480},     {48000, 3, 16, 480},     {7999, 2, 16, 480}, {384001, 2, 16, 480},
                 {48000, 2, 16, 0},       {48000, 2, 16, 1048577}, {48000, 2, 8, 480}, {48000, 2, 20, 480}};
    for (const auto& c : cases) {
        auto recorder = Make();
        EXPECT_THROW(recorder->Start(mic_, nullptr, c.rate, c.channels, c.bits, c.frames, "rec"), InvalidArgument)
            << c.rate << " " << c.channels << " " << c.bits << " " << c.frames;
        EXPECT_EQ(recorder->Session(), nullptr);
        EXPECT_FALSE(recorder->WriterAlive());
        EXPECT_FALSE(fs::exists(dir_ / "rec_20240105_093000"));
    }
}

}  // namespace
}  // namespace twr
