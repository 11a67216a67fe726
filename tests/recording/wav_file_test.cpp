#include "recording/wav_file.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <random>
#include <thread>

#include "recording/rf64_writer.h"
#include "recording/wav_test_support.h"

namespace twr {
namespace {

using namespace twr::testing;

// An RF64 recording as a crash leaves it: the header as created (sizes 0) and raw sample bytes.
std::vector<uint8_t> Unfinished(int rate, int channels, int bits, size_t dataBytes) {
    auto b = Rf64Writer::BuildHeader(rate, channels, bits);
    for (size_t i = 0; i < dataBytes; ++i) b.push_back(static_cast<uint8_t>(i * 37 + 11));
    return b;
}

// A plain 44-byte-header WAV (16-bit stereo, 48 kHz) with the given size fields.
std::vector<uint8_t> Riff(uint32_t riffSize, uint32_t dataSize, size_t dataBytes, const char* form = "WAVE") {
    std::vector<uint8_t> b(44, 0);
    for (auto [at, tag] : {std::pair<size_t, const char*>{0, "RIFF"}, {8, form}, {12, "fmt "}, {36, "data"}})
        std::memcpy(b.data() + at, tag, 4);
    for (auto [at, v, n] : {std::tuple<size_t, uint32_t, int>{4, riffSize, 4}, {16, 16, 4}, {20, 1, 2}, {22, 2, 2},
                            {24, 48000, 4}, {28, 192000, 4}, {32, 4, 2}, {34, 16, 2}, {40, dataSize, 4}})
        PutLe(b, at, v, n);
    for (size_t i = 0; i < dataBytes; ++i) b.push_back(static_cast<uint8_t>(i));
    return b;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

fs::path BackupOf(const fs::path& p) { return fs::path(p.string() + ".backup"); }

class WavFileTest : public ::testing::Test {
protected:
    fs::path Put(const std::vector<uint8_t>& bytes, const std::string& name = "rec.wav") {
        const auto p = dir_ / name;
        WriteBytes(p, bytes);
        return p;
    }
    TempDir dir_{"twr_wavfile"};
    LogCapture log_;
};

TEST_F(WavFileTest, VerifyDecidesFromTheHeader) {
    auto finished = Unfinished(48000, 2, 16, 96000);
    PutLe64(finished, 20, 96072);
    PutLe64(finished, 28, 96000);
    PutLe64(finished, 36, 24000);
    auto overclaiming = finished;
    PutLe64(overclaiming, 28, 96004);
    auto negative = finished;
    PutLe64(negative, 28, ~0ull);
    auto lessThanAFrame = finished;
    PutLe64(lessThanAFrame, 28, 3);
    auto dataTagInSizes = finished;  // stale 64-bit sizes can spell a tag
    std::memcpy(dataTagInSizes.data() + 36, "data", 4);
    auto noDs64 = finished;
    std::memcpy(noDs64.data() + 12, "junk", 4);
    auto noFmtBlockAlign = finished;
    noFmtBlockAlign[68] = noFmtBlockAlign[69] = 0;

    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        int channels, rate;
        bool expected;
    } cases[] = {
        {"finished rf64", finished, 2, 48000, true},
        {"finished rf64, unchecked expectations", finished, 0, -1, true},
        {"wrong rate", finished, 2, 44100, false},
        {"wrong channels", finished, 1, 48000, false},
        {"claims more than the file holds", overclaiming, 0, 0, false},
        {"negative 64-bit size", negative, 0, 0, false},
        {"less than one frame", lessThanAFrame, 0, 0, false},
        {"data tag inside the sizes", dataTagInSizes, 2, 48000, true},
        {"no ds64", noDs64, 0, 0, false},
        {"block align 0", noFmtBlockAlign, 0, 0, false},
        {"fresh 80-byte file", Unfinished(48000, 2, 16, 0), 0, 0, false},
        {"unfinished rf64", Unfinished(48000, 2, 16, 4000), 0, 0, false},
        {"riff", Riff(1036, 1000, 1000), 2, 48000, true},
        {"riff, data size 0", Riff(36, 0, 1000), 0, 0, false},
        {"riff claiming more", Riff(1036, 1004, 1000), 0, 0, false},
        {"riff, not WAVE", Riff(1036, 1000, 1000, "AVI "), 0, 0, false},
        {"43 bytes", std::vector<uint8_t>(finished.begin(), finished.begin() + 43), 0, 0, false},
        {"random", RandomBytes(100, 1), 0, 0, false},
        {"empty", {}, 0, 0, false},
    };
    for (const auto& c : cases) EXPECT_EQ(WavFile::Verify(Put(c.bytes), c.channels, c.rate), c.expected) << c.name;
    EXPECT_FALSE(WavFile::Verify(dir_ / "missing.wav", 0, 0));
}

TEST_F(WavFileTest, FailedRepairsLeaveTheFileAsItWas) {
    auto cutInDataHeader = Unfinished(48000, 2, 16, 0);
    cutInDataHeader.resize(78);
    auto noDs64 = Unfinished(48000, 2, 16, 400);
    std::memcpy(noDs64.data() + 12, "junk", 4);
    auto noWave = Unfinished(48000, 2, 16, 400);
    std::memcpy(noWave.data() + 8, "WAVX", 4);
    auto noFormat = Unfinished(48000, 2, 16, 400);
    noFormat[68] = noFormat[69] = 0;
    const auto avi = Riff(0, 0, 400, "AVI ");

    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        bool backupLeft;
        const char* logged;  // nullptr: no log line
    } cases[] = {
        {"43 bytes", std::vector<uint8_t>(43, 'R'), false, nullptr},
        {"random bytes", RandomBytes(100, 7), true, nullptr},
        {"cut inside the data chunk header", cutInDataHeader, true, "Error repairing WAV: No data chunk found"},
        {"no data chunk", Riff(0, 0, 0), true, "Error repairing WAV: Validation failed"},
        {"no ds64", noDs64, true, "Error repairing WAV: No ds64 chunk"},
        {"no WAVE", noWave, true, "Error repairing WAV: No WAVE signature"},
        {"foreign RIFF", avi, true, "Error repairing WAV: Validation failed"},
        {"no usable format", noFormat, true, "Error repairing WAV: Validation failed"},
        {"no whole frame", Unfinished(48000, 2, 16, 3), true, "Error repairing WAV: Validation failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_.Clear();
        const auto p = Put(c.bytes);
        fs::remove(BackupOf(p));
        EXPECT_FALSE(WavFile::Repair(p));
        EXPECT_EQ(ReadBytes(p), c.bytes);
        EXPECT_EQ(fs::exists(BackupOf(p)), c.backupLeft);
        if (c.backupLeft) {
            EXPECT_EQ(ReadBytes(BackupOf(p)), c.bytes);
        }
        const auto log = log_.Text();
        EXPECT_EQ(log.empty(), !c.logged) << log;
        if (c.logged) {
            EXPECT_NE(log.find(std::string(c.logged) + "\r\n"), std::string::npos) << log;
            EXPECT_EQ(log.find("Error repairing WAV"), log.rfind("Error repairing WAV")) << "one line per failure";
        }
    }
    EXPECT_FALSE(WavFile::Repair(dir_ / "missing.wav"));
}

TEST_F(WavFileTest, AnOlderBackupIsReplacedButOneThatCannotBeWrittenStopsTheRepair) {
    const auto p = Put(Unfinished(48000, 1, 16, 4000), "old.wav");
    WriteBytes(BackupOf(p), RandomBytes(10, 3));
    EXPECT_TRUE(WavFile::Repair(p));
    EXPECT_FALSE(fs::exists(BackupOf(p)));

    const auto bytes = Unfinished(48000, 2, 16, 4000);
    const auto q = Put(bytes);
    fs::create_directory(BackupOf(q));  // the backup name is taken by a folder
    EXPECT_FALSE(WavFile::Repair(q));
    EXPECT_EQ(ReadBytes(q), bytes);
    EXPECT_TRUE(fs::is_directory(BackupOf(q)));
    EXPECT_NE(log_.Text().find("Error repairing WAV: "), std::string::npos);
}

// The platform's file, but its n-th write fails, after running what the test gives.
class FailingWrite final : public AudioFile {
public:
    FailingWrite(std::unique_ptr<AudioFile> file, int n, std::function<void()> before)
        : f_(std::move(file)), n_(n), before_(std::move(before)) {}
    size_t ReadAt(uint64_t offset, void* buffer, size_t size) override { return f_->ReadAt(offset, buffer, size); }
    void WriteAt(uint64_t offset, const void* data, size_t size) override {
        if (++writes_ == n_) {
            before_();
            throw IoError("The disk refused the write");
        }
        f_->WriteAt(offset, data, size);
    }
    uint64_t Size() override { return f_->Size(); }
    void Truncate(uint64_t size) override { f_->Truncate(size); }
    void FlushToDisk() override { f_->FlushToDisk(); }
    void Close() override { f_->Close(); }

private:
    std::unique_ptr<AudioFile> f_;
    int n_, writes_ = 0;
    std::function<void()> before_;
};

// A repair that fails after it has begun to patch puts back the sizes it wrote and nothing else:
// the recording keeps its length and every sample byte, whatever has become of the backup since
// it was written, and the backup is left as it is.
TEST_F(WavFileTest, AFailedRepairRestoresTheSizesItWroteWhateverBecameOfTheBackup) {
    const auto original = Unfinished(48000, 2, 16, 40000);
    auto otherBytes = original;
    otherBytes[100] ^= 0xFF;
    auto grown = original;
    grown.resize(original.size() + 5000, 0);
    const std::vector<uint8_t> cut(original.begin(), original.begin() + 100);
    using Alter = std::function<void(const fs::path&)>;
    const Alter cutShort = [](const fs::path& b) { fs::resize_file(b, 100); };
    const struct {
        const char* name;
        int failingPatchWrite;  // 0: every size is written and the check after the patch fails
        Alter alterBackup;
        std::optional<std::vector<uint8_t>> backupAfter;  // nullopt: no backup is left
    } cases[] = {
        {"check fails, backup intact", 0, [](const fs::path&) {}, original},
        {"check fails, backup cut short", 0, cutShort, cut},
        {"check fails, backup grown", 0, [&](const fs::path& b) { fs::resize_file(b, grown.size()); }, grown},
        {"check fails, backup holds other bytes", 0, [&](const fs::path& b) { WriteBytes(b, otherBytes); }, otherBytes},
        {"check fails, backup deleted", 0, [](const fs::path& b) { fs::remove(b); }, std::nullopt},
        {"first size write fails, backup cut short", 1, cutShort, cut},
        {"third size write fails, backup cut short", 3, cutShort, cut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto p = Put(original);
        const auto backup = BackupOf(p);
        fs::remove(backup);
        bool patching = true;
        WavFile::SetFileOpenerForTesting([&](const fs::path& path, FileAccess access) -> std::unique_ptr<AudioFile> {
            auto file = OpenAudioFile(path, access);
            if (path != p) return file;
            if (access == FileAccess::ReadWriteExclusive && patching && c.failingPatchWrite > 0) {
                patching = false;
                return std::make_unique<FailingWrite>(std::move(file), c.failingPatchWrite,
                                                      [&] { c.alterBackup(backup); });
            }
            if (access == FileAccess::ReadShared && c.failingPatchWrite == 0) {
                c.alterBackup(backup);
                throw IoError("The check could not open the file");
            }
            return file;
        });
        EXPECT_FALSE(WavFile::Repair(p));
        WavFile::SetFileOpenerForTesting(nullptr);
        EXPECT_EQ(ReadBytes(p), original);
        ASSERT_EQ(fs::exists(backup), c.backupAfter.has_value());
        if (c.backupAfter) EXPECT_EQ(ReadBytes(backup), *c.backupAfter);
    }
}

// Whatever a header cut short looks like, repair either succeeds with the sizes the length gives
// (a partial last frame stays outside the chunk) or leaves the file byte for byte as it was;
// sample bytes are never touched.
TEST_F(WavFileTest, RepairOfEveryCutThroughTheHeaderRegion) {
    const struct {
        const char* name;
        std::vector<uint8_t> file;
        size_t dataStart;
        int blockAlign;
    } sources[] = {
        {"rf64 24-bit stereo", Unfinished(48000, 2, 24, 600), 80, 6},
        {"rf64 16-bit mono, stale sizes that spell tags", [] {
             auto b = Unfinished(44100, 1, 16, 600);
             std::memcpy(b.data() + 20, "data", 4);  // not to be taken for the data chunk
             std::memcpy(b.data() + 28, "data", 4);
             PutLe64(b, 36, 5);
             return b;
         }(), 80, 2},
        {"riff 16-bit stereo", Riff(0, 0, 600), 44, 4},
    };
    for (const auto& s : sources) {
        for (size_t cut = 0; cut <= s.dataStart + 20; ++cut) {
            SCOPED_TRACE(std::string(s.name) + " cut at " + std::to_string(cut));
            const std::vector<uint8_t> before(s.file.begin(), s.file.begin() + cut);
            const auto p = Put(before);
            fs::remove(BackupOf(p));
            const bool ok = WavFile::Repair(p);
            const auto after = ReadBytes(p);
            const size_t dataBytes = cut > s.dataStart ? cut - s.dataStart : 0;
            const bool repairable = cut >= s.dataStart && dataBytes >= static_cast<size_t>(s.blockAlign) && cut >= 44;
            ASSERT_EQ(ok, repairable);
            ASSERT_EQ(after.size(), before.size());
            if (!ok) {
                ASSERT_EQ(after, before);
                ASSERT_EQ(fs::exists(BackupOf(p)), cut >= 44);
                continue;
            }
            ASSERT_TRUE(WavFile::Verify(p, 0, 0));
            ASSERT_FALSE(fs::exists(BackupOf(p)));
            ASSERT_TRUE(std::equal(after.begin() + s.dataStart, after.end(), before.begin() + s.dataStart));
            const size_t whole = dataBytes / s.blockAlign * s.blockAlign;
            if (s.dataStart == 80) {
                ASSERT_EQ(Le32(after, 4), 0xFFFFFFFFu);
                ASSERT_EQ(Le32(after, 76), 0xFFFFFFFFu);
                ASSERT_EQ(Le64(after, 20), cut - 8);
                ASSERT_EQ(Le64(after, 28), whole);
                ASSERT_EQ(Le64(after, 36), dataBytes / s.blockAlign);
            } else {
                ASSERT_EQ(Le32(after, 4), cut - 8);
                ASSERT_EQ(Le32(after, 40), whole);
            }
        }
    }
}

// Repair on arbitrary bytes never crashes, and when it succeeds it changed size fields only.
TEST_F(WavFileTest, RepairedForeignWavReadsBackInSox) {
    if (!HaveTool("sox")) GTEST_SKIP() << "sox missing";
    const auto p = dir_ / "sox.wav";
    ASSERT_TRUE(RunCommand("sox -n -r 44100 -c 2 -b 24 " + Quoted(p) + " synth 0.5 sine 440 2>&1"));
    auto bytes = ReadBytes(p);
    const int64_t d = WavFile::IndexOf(bytes.data(), bytes.size(), "data");
    ASSERT_GT(d, 0);
    const auto expected = RunCommand("sox --i -s " + Quoted(p));
    PutLe32(bytes, 4, 0);
    PutLe32(bytes, static_cast<size_t>(d) + 4, 0);
    WriteBytes(p, bytes);
    ASSERT_TRUE(WavFile::Repair(p));
    EXPECT_EQ(RunCommand("sox --i -s " + Quoted(p)), expected);
}

// A crash can cut the last frame in half; the repaired file must read the same, without
// complaint, in every reader.
TEST_F(WavFileTest, RepairedFileWithAPartialFrameReadsCleanlyEverywhere) {
    const auto p = Put(Unfinished(48000, 1, 24, 3003 + 2));
    ASSERT_TRUE(WavFile::Repair(p));
    EXPECT_EQ(log_.Text(), "");
#ifdef TWR_HAVE_SNDFILE
    auto d = ReadWithSndfile(p);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->frames, 1001);
#endif
    const auto q = Quoted(p);
    if (HaveTool("sox")) {
        EXPECT_EQ(RunCommand("sox --i -s " + q + " 2>&1"), "1001\n");
    }
    if (HaveTool("sndfile-info")) {
        auto info = RunCommand("sndfile-info " + q + " 2>&1");
        ASSERT_TRUE(info);
        EXPECT_EQ(info->find("Should"), std::string::npos) << *info;
    }
    if (HaveTool("ffmpeg")) {
        EXPECT_EQ(RunCommand("ffmpeg -v error -i " + q + " -f s32le - 2>&1 >/dev/null"), "");
        EXPECT_EQ(RunCommand("ffprobe -v error -show_entries stream=duration_ts -of default=nw=1 " + q + " 2>&1"),
                  "duration_ts=1001\n");
    }
}

// Starts a helper with its standard output going to a file; its pid, or -1.
pid_t Spawn(const std::vector<std::string>& args, const fs::path& out) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

TEST_F(WavFileTest, KilledWhileRecordingReadsToTheLastUpdateAndRepairsToTheLastWholeFrame) {
#ifndef TWR_HAVE_SNDFILE
    GTEST_SKIP() << "libsndfile not found at build time";
#else
    const auto child = platform::ExePath().parent_path() / "rf64_crash_child";
    ASSERT_TRUE(fs::exists(child)) << child;
    const uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    constexpr int kBlocksPerUpdate = 7;
    const struct { int bits, channels; } formats[] = {{16, 1}, {16, 2}, {24, 1}, {24, 2}, {32, 1}, {32, 2}};
    for (int round = 0; round < 2; ++round) {
        for (const auto& f : formats) {
            SCOPED_TRACE(std::to_string(f.bits) + " bits, " + std::to_string(f.channels) + " channels");
            const auto p = dir_ / ("crash" + std::to_string(f.bits) + "_" + std::to_string(f.channels) + ".wav");
            fs::remove(p);
            const pid_t pid = Spawn({child.string(), p.string(), "48000", std::to_string(f.channels),
                                     std::to_string(f.bits), std::to_string(kBlocksPerUpdate)},
                                    dir_ / "updates.txt");
            ASSERT_GT(pid, 0);
            std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng() % 150000));
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
            ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended on its own";
            // The frame counts it reported after each size update.
            std::vector<uint64_t> updates;
            std::ifstream reported(dir_ / "updates.txt");
            for (uint64_t v; reported >> v;) updates.push_back(v);
            if (!fs::exists(p)) continue;  // killed before it created the file

            const int blockAlign = f.channels * f.bits / 8;
            auto bytes = ReadBytes(p);
            if (bytes.size() < 80) {
                // Killed between creating the file and writing its header: nothing was recorded,
                // and repair must refuse the stub rather than invent a recording.
                ASSERT_TRUE(updates.empty());
                EXPECT_FALSE(WavFile::Repair(p));
                EXPECT_EQ(ReadBytes(p), bytes);
                continue;
            }
            // (a) as left: the header claims the last update (or the one being reported when it died).
            const uint64_t last = updates.empty() ? 0 : updates.back();
            const uint64_t claimed = Le64(bytes, 36);
            ASSERT_TRUE(claimed == last || claimed == last + 480 * kBlocksPerUpdate) << claimed << " vs " << last;
            ASSERT_EQ(Le64(bytes, 28), claimed * blockAlign);
            ASSERT_LE(80 + claimed * blockAlign, bytes.size());
            auto check = [&](const Decoded& d, uint64_t frames) {
                ASSERT_EQ(d.frames, static_cast<int64_t>(frames));
                ExpectTestSignal(d.samples, f.bits, f.channels, frames, 1 + frames / 500);
            };
            if (claimed > 0) {
                auto asLeft = ReadWithSndfile(p);
                ASSERT_TRUE(asLeft);
                check(*asLeft, claimed);
            }
            // (b) repaired: every whole frame on disk.
            const uint64_t onDisk = (bytes.size() - 80) / blockAlign;
            if (onDisk == 0) {
                EXPECT_FALSE(WavFile::Repair(p));
                continue;
            }
            ASSERT_TRUE(WavFile::Repair(p));
            ASSERT_TRUE(WavFile::Verify(p, f.channels, 48000));
            auto repaired = ReadWithSndfile(p);
            ASSERT_TRUE(repaired);
            check(*repaired, onDisk);
        }
    }
#endif
}

}  // namespace
}  // namespace twr
