#include "recording/writer_loop.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "app/errors.h"
#include "app/log.h"
#include "app/text_formats.h"
#include "recording/recovery_journal.h"
#include "recording/rf64_writer.h"
#include "recording/wav_file.h"

namespace twr {

namespace fs = std::filesystem;

void ApplyRouting(const float* source, int frames, std::string_view route, int channels, float* destination,
                  float gain) noexcept {
    const bool left = route == "Left Channel Only";
    const bool right = route == "Right Channel Only";
    for (int f = 0; f < frames; ++f) {
        const float l = source[2 * f];
        const float r = source[2 * f + 1];
        if (channels == 1) {
            destination[f] = left ? l * gain : right ? r * gain : (l + r) * 0.5f * gain;
        } else {
            destination[2 * f] = right ? 0.0f : l * gain;
            destination[2 * f + 1] = left ? 0.0f : r * gain;
        }
    }
}

void MixInto(float* destination, const float* other, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) {
        float v = destination[i] + other[i];
        destination[i] = v > 1.0f ? 1.0f : v < -1.0f ? -1.0f : v;
    }
}

std::string RecordingBaseName(std::string_view prefix, std::string_view stamp) {
    if (prefix.empty()) return std::string(stamp);
    return std::string(prefix) + "_" + std::string(stamp);
}

std::string PartSuffix(int partNumber) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", partNumber);
    return std::string("_part") + digits;
}

fs::path ChooseRecordingPath(const fs::path& folder, std::string_view base, std::string_view suffix,
                             const std::function<bool(const fs::path&)>& exists, int firstCounter,
                             int* usedCounter) {
    for (int counter = std::max(firstCounter, 0);; ++counter) {
        std::string name(base);
        if (counter > 0) name += "_" + std::to_string(counter);
        name += suffix;
        name += ".wav";
        fs::path candidate = folder / platform::U8Path(name);
        if (!exists(candidate)) {
            if (usedCounter) *usedCounter = counter;
            return candidate;
        }
    }
}

std::optional<std::string> DriveRootOf(std::string_view path) noexcept {
    try {
        if (path.empty()) return std::nullopt;
        auto isSep = [](char c) { return c == '\\' || c == '/'; };
        // Characters no Windows path may hold make the path malformed.
        for (char c : path)
            if (c == '\0' || c == '"' || c == '<' || c == '>' || c == '|' || (c > 0 && c < 32)) return std::nullopt;
        if (path.size() >= 2 && isSep(path[0]) && isSep(path[1])) {
            // \\server\share: the root is the server and the share, without a trailing separator.
            size_t serverEnd = path.find_first_of("\\/", 2);
            if (serverEnd == std::string_view::npos || serverEnd == 2) return std::string(path);
            size_t shareEnd = path.find_first_of("\\/", serverEnd + 1);
            return std::string(path.substr(0, shareEnd));
        }
        const char c0 = path[0];
        if (path.size() >= 2 && path[1] == ':' && ((c0 >= 'A' && c0 <= 'Z') || (c0 >= 'a' && c0 <= 'z'))) {
            if (path.size() >= 3 && isSep(path[2])) return std::string(path.substr(0, 3));
            return std::string(path.substr(0, 2));
        }
        if (isSep(c0)) return std::string(path.substr(0, 1));
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

bool IsSystemDrive(std::string_view root) noexcept {
    if (root.empty()) return true;
    while (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.remove_suffix(1);
    return root.size() == 2 && (root[0] == 'C' || root[0] == 'c') && root[1] == ':';
}

void ControlTimeline::Add(const ControlRequest& request) {
    if (request.Kind == ControlKind::Split)
        splits_.push_back(request.Time);
    else
        pauses_.emplace_back(request.Time, request.Kind == ControlKind::Pause);
}

bool ControlTimeline::PausedAt(double stamp) const noexcept {
    for (auto it = pauses_.rbegin(); it != pauses_.rend(); ++it)
        if (it->first < stamp) return it->second;
    return false;
}

void RecorderState::RequestPause(bool paused, double time) noexcept {
    Paused.store(paused ? 1 : 0, std::memory_order_release);
    if (!controls_.Post(paused ? ControlKind::Pause : ControlKind::Resume, time)) {
        try {
            Log::Warn(paused ? "A pause could not be handed to the writer." : "A resume could not be handed to the writer.");
        } catch (...) {
        }
    }
}

void RecorderState::RequestSplit(double time) noexcept {
    if (!controls_.Post(ControlKind::Split, time)) {
        try {
            Log::Warn("A split could not be handed to the writer.");
        } catch (...) {
        }
        return;
    }
    SplitRequested.store(1, std::memory_order_release);
}

fs::path RecorderState::CurrentFile() const {
    const fs::path* current = currentFile_.load(std::memory_order_acquire);
    return current ? *current : fs::path();
}

void RecorderState::PublishCurrentFile(fs::path path) {
    // A deque never moves its elements when it grows.
    publishedFiles_.push_back(std::move(path));
    currentFile_.store(&publishedFiles_.back(), std::memory_order_release);
}

void RecorderState::Report(const std::function<void(const std::string&)>& cb, const std::string& text) {
    if (cb) cb(text);
}

void RecorderState::EndJournal(bool writePending) noexcept {
    if (!journal_) return;
    journal_->Finish(writePending);
    journal_.reset();
}

void RecorderState::WriteJournal(bool cleanClose) noexcept {
    if (cleanClose) {
        // No write may land after the deletion, and the one still waiting would be deleted at once.
        EndJournal(false);
        RecoveryJournal::Delete(JournalPath);
        return;
    }
    try {
        JournalEntry e;
        e.SessionId = Session->Id;
        e.StartTime = Session->StartTime;
        e.SampleRate = SampleRate;
        e.Channels = Channels;
        e.BitDepth = BitsPerSample;
        e.CurrentFile = platform::PathText(CurrentFile());
        e.FramesCommitted = FramesCommitted.load();
        e.LastFlush = Services.LocalNow();
        e.SplitNumber = PartNumber.load();
        if (!journal_) {
            auto write = Services.WriteJournal;
            if (!write) write = RecoveryJournal::Write;
            journal_ = std::make_unique<JournalWriter>(
                [write, path = JournalPath](const JournalEntry& entry) { write(path, entry); });
        }
        journal_->Post(std::move(e));
    } catch (...) {
    }
}

namespace {

// Deletes a file that holds no more than a header; a failure to delete is left as it is.
void RemoveUnwrittenFile(const fs::path& path) noexcept {
    try {
        auto size = platform::FileSize(path);
        if (size && *size <= Rf64Writer::kHeaderBytes) platform::DeleteFileIfExists(path);
    } catch (...) {
    }
}

}  // namespace

std::unique_ptr<Rf64Writer> RecorderState::CreatePartFile(std::string_view stamp, int partNumber, bool withSuffix) {
    const std::string base = RecordingBaseName(Prefix, stamp);
    const std::string suffix = withSuffix ? PartSuffix(partNumber) : std::string();
    int counter = 0;
    for (int attempt = 0;; ++attempt) {
        int used = 0;
        fs::path path = ChooseRecordingPath(OutputFolder, base, suffix, Services.Exists, counter, &used);
        PublishCurrentFile(path);
        try {
            return Services.CreateFile(path, SampleRate, Channels, BitsPerSample);
        } catch (const FileExistsError&) {
            // Someone took the name between the check and the creation: never write over it,
            // move on to the next counter instead.
            if (attempt >= 1000) throw;
            counter = used + 1;
        } catch (const IoError&) {
            // The name was ours, so the file (if the failure came after creating it, as with a
            // full disk) is ours too: another name would fail the same way, and an empty file
            // left behind would only confuse the user.
            RemoveUnwrittenFile(path);
            throw;
        }
    }
}

void RecorderState::RunWriter() noexcept {
    std::unique_ptr<Rf64Writer> writer;
    std::optional<std::string> splitCloseError;
    fs::path closedPart;
    try {
        WriterLoop(writer, splitCloseError, closedPart);
    } catch (const std::exception& e) {
        Log::Error(std::string("Worker died with exception: ") + e.what(), e);
        Session->Error = e.what();
        try {
            Report(Callbacks.OnError, std::string("An error occurred during recording: ") + e.what());
        } catch (const std::exception& e2) {
            Log::Error(std::string("Worker died with exception: ") + e2.what(), e2);
        } catch (...) {
        }
    } catch (...) {
        Log::Error("Worker died with exception: unknown exception");
        Session->Error = "unknown exception";
        try {
            Report(Callbacks.OnError, "An error occurred during recording: unknown exception");
        } catch (...) {
        }
    }
    Finalize(writer.get(), splitCloseError, closedPart);
    // Finalize has ended the journal's thread on each of its paths; this only makes sure.
    EndJournal(true);
    WriterAlive.store(false, std::memory_order_release);
}

std::optional<std::string> RecorderState::OpenNextPart(std::unique_ptr<Rf64Writer>& writer) {
    Session->SplitCount.fetch_add(1);
    const int part = PartNumber.fetch_add(1) + 1;
    try {
        writer.reset();
        writer = CreatePartFile(Services.TimestampNow(), part, true);
        Log::Info("Successfully opened next split file: " + platform::PathText(CurrentFile()));
    } catch (const std::exception& e) {
        std::string error = std::string("Failed to open next split file: ") + e.what();
        Log::Error(error);
        writer.reset();
        return error;
    }
    FramesCommitted.store(0);
    WriteJournal(false);
    if (Callbacks.OnSplit) Callbacks.OnSplit();
    return std::nullopt;
}

void RecorderState::WriterLoop(std::unique_ptr<Rf64Writer>& writer, std::optional<std::string>& splitCloseError,
                               fs::path& closedPart) {
    const WriterSettings settings = Services.ReadSettings ? Services.ReadSettings() : WriterSettings{};
    const int channels = Channels == 1 ? 1 : 2;
    const size_t outFloats = static_cast<size_t>(BufferFrames) * channels;
    std::vector<float> out1(outFloats), out2(outFloats);
    std::vector<float> silence(2 * static_cast<size_t>(BufferFrames), 0.0f);
    const double blockSec = static_cast<double>(BufferFrames) / SampleRate;
    // A block is late, and an input quiet, past its block time and 50 ms of jitter.
    const double lateAfter = blockSec + 0.05;
    const int takeTimeoutMs = static_cast<int>(lateAfter * 1000);
    WriterClock& clock = *Clock;
    WriterInput& in1 = *Input1;
    WriterInput* in2 = Input2.get();

    // Wait for the inputs to open.
    const double waitStart = clock.Now();
    for (;;) {
        if (clock.StopSet()) return;
        if (in1.Settled() && (!in2 || in2->Settled())) break;
        if ((clock.Now() - waitStart) * 1000.0 >= kStartupWaitMs) {
            if (!(in1.Settled() && (!in2 || in2->Settled()))) {
                Log::Error("Timed out waiting for audio devices to open.");
                Report(Callbacks.OnError, "Timed out waiting for the audio devices to start.");
                return;
            }
            break;
        }
        clock.WaitStop(kIdleSleepMs);
    }
    if (in1.Failed() || (in2 && in2->Failed())) {
        std::string error = in1.Failed() ? in1.Error() : in2->Error();
        Report(Callbacks.OnError, "Failed to initialize audio devices.\n\n" + error);
        return;
    }

    writer = CreatePartFile(Session->Id, 1, AutoSplitSecs >= 1);
    // A journal from the first moment, so a crash within the first flush interval still names the file.
    WriteJournal(false);
    double lastStep = clock.Now();
    double lastFlush = lastStep, lastBlock1 = lastStep, lastBlock2 = lastStep;
    bool missing1 = false, missing2 = false;
    // Until an input has delivered its first block nothing of it has been lost: a device slow to
    // start (another native rate, a wireless headset) puts silence at the start of the file, but
    // that silence is no substitution. The grace ends with the first block or the input's stall.
    bool started1 = false, started2 = false;
    bool dead1 = false, dead2 = false;
    bool stall1 = false, stall2 = false;
    // The stamp of each input's last block, to tell in the drain an input that ended with the stop
    // from one that had gone quiet before it.
    double lastStamp1 = lastStep, lastStamp2 = lastStep;

    // After a stop the writer goes on until every block captured before it is in the file: a
    // writer held up by a slow drive may be seconds behind, and that audio is the user's too. What
    // came after the stop is not written. Failures end the loop at once instead: nothing more can
    // be written then.
    bool draining = false;
    double stopTime = 0;
    bool done1 = false, done2 = false;  // the input has nothing more from before the stop
    bool unwritable = false;  // a write after the stop failed: the rest is counted, not written
    auto beginDrain = [&] {
        if (draining) return;
        draining = true;
        stopTime = clock.StopTime();
    };
    // In the drain, the next block of an input captured before the stop, or none (for good).
    auto takeBeforeStop = [&](WriterInput& in, bool& done, double& time, int& count) -> const float* {
        if (done) return nullptr;
        const float* block = in.Take(takeTimeoutMs, time, count);
        if (block && time <= stopTime) return block;
        if (block) in.ReleaseTaken();
        done = true;
        return nullptr;
    };

    auto stallWatch = [&](int n, double lastBlock, bool& stalled) {
        const double quiet = lastStep - lastBlock;
        if (quiet > kStallSeconds && !stalled) {
            stalled = true;
            Log::Warn("Mic " + std::to_string(n) + " stalled: no blocks received for 2 seconds. Recording continues.");
            if (Callbacks.OnMicStall) Callbacks.OnMicStall(n, true);
        } else if (quiet <= kStallSeconds && stalled) {
            stalled = false;
            Log::Info("Mic " + std::to_string(n) + " recovered and is delivering audio again.");
            if (Callbacks.OnMicStall) Callbacks.OnMicStall(n, false);
        }
    };

    // Pauses and splits are decided by the time stamps of the blocks, never by when the writer
    // reaches them: a writer held up by a slow drive must neither write what the user paused nor
    // discard what came before the pause, and a split must not wait for it.
    ControlTimeline controls;
    auto takeControls = [&] { controls_.TakeAll([&](const ControlRequest& r) { controls.Add(r); }); };

    // Closes the part and opens the next one before the block stamped at `stamp`; false when the
    // loop must end. After the stop a failure is counted with the audio it loses instead of being
    // reported on top of the user's stop.
    auto split = [&](double stamp) -> bool {
        auto fail = [&](const std::string& text) {
            if (!draining) {
                Report(Callbacks.OnError, text);
                return false;
            }
            Log::Error("The audio captured before the stop cannot be written: " + text);
            return unwritable = true;
        };
        controls.SplitDone(stamp);
        if (!controls.SplitPending()) SplitRequested.store(0, std::memory_order_release);
        // Asked for before anything was written (during a pause from the start, or before the first
        // block came): the part that is open already begins with this block, and no empty part is left.
        if (FramesCommitted.load() == 0) return true;
        const std::optional<std::string> root = DriveRootOf(Services.SaveFolder ? Services.SaveFolder() : "");
        try {
            writer->Close();
            Log::Info("Split file closed successfully: " + platform::PathText(CurrentFile()));
        } catch (const std::exception& e) {
            const std::string text = std::string("Failed to close split file: ") + e.what();
            Log::Error(text);
            splitCloseError = text;
            return fail(text);
        }
        closedPart = CurrentFile();
        if (root && !IsSystemDrive(*root) && !Services.Exists(platform::U8Path(*root)))
            return fail("Output drive disconnected during auto-split.");
        // Closing forces the part to the disk, seconds on a slow drive: a stop that came meanwhile
        // ends the recording after the audio captured before it.
        if (!draining && clock.StopSet()) beginDrain();
        if (const auto error = OpenNextPart(writer)) return fail(*error);
        closedPart.clear();
        return true;
    };

    // Both blocks of a step go back to their inputs however the step ends.
    struct Held {
        WriterInput* input = nullptr;
        ~Held() { Release(); }
        void Release() noexcept {
            if (input) input->ReleaseTaken();
            input = nullptr;
        }
    };
    // A block kept back for a later step while the other input's older audio goes first: an input
    // that delivered nothing for a while (an idle loopback, a stall) while the writer was behind
    // comes back with audio far newer than the other's queued audio, which it never overlapped.
    struct Carried : Held {
        const float* block = nullptr;
        double time = 0;
        int count = 0;
    } carried1, carried2;
    auto take = [&](WriterInput& in, Carried& carried, bool& done, bool missing, double& time,
                    int& count) -> const float* {
        if (carried.input) {
            carried.input = nullptr;
            time = carried.time;
            count = carried.count;
            return carried.block;
        }
        return draining ? takeBeforeStop(in, done, time, count) : in.Take(missing ? 0 : takeTimeoutMs, time, count);
    };
    auto keep = [](Carried& carried, Held& held, const float* block, double time, int count) {
        carried.input = std::exchange(held.input, nullptr);
        carried.block = block;
        carried.time = time;
        carried.count = count;
    };
    // The input delivered nothing from its last block until this one, stamped at `stamp`, while
    // the other input's block stamped at `other`, more than a block older, was captured.
    auto gapBefore = [&](double stamp, double lastStamp, double other) {
        return lastStamp < other && other < stamp - blockSec && stamp - lastStamp > lateAfter;
    };

    for (;;) {
        if (!draining && clock.StopSet()) beginDrain();
        takeControls();
        if (!draining) {
            const size_t queued1 = in1.QueuedCount();
            const size_t queued2 = in2 ? in2->QueuedCount() : 0;
            if (queued1 > 0) missing1 = false;
            if (queued2 > 0) missing2 = false;
            if (queued1 == 0 && queued2 == 0 && !carried1.input && !carried2.input) {
                if (clock.WaitStop(kIdleSleepMs)) continue;
                // A reader queues its last blocks as it ends: its input is dead once its thread had
                // ended and those are written.
                const bool alive1 = in1.ThreadAlive(), alive2 = in2 && in2->ThreadAlive();
                if (!dead1 && !alive1 && in1.QueuedCount() == 0) {
                    Log::Warn("Mic 1 thread died unexpectedly");
                    dead1 = true;
                    const bool continuing = settings.ContinueOnMicDisconnect && in2 && !dead2;
                    if (Callbacks.OnMicDisconnected) Callbacks.OnMicDisconnected(1, continuing);
                    if (!continuing) break;
                }
                if (in2 && !dead2 && !alive2 && in2->QueuedCount() == 0) {
                    Log::Warn("Mic 2 thread died unexpectedly");
                    dead2 = true;
                    const bool continuing = settings.ContinueOnMicDisconnect && !dead1;
                    if (Callbacks.OnMicDisconnected) Callbacks.OnMicDisconnected(2, continuing);
                    if (!continuing) break;
                }
                if (clock.Now() - lastStep <= lateAfter) continue;
            }
        }

        Held held1, held2;

        double time1 = 0;
        int count1 = 0;
        // Input 2's audio dropped to stay aligned is lost audio once either input is in the file;
        // before that it is only the inputs' different start-up times.
        const bool recorded = started1 || started2;
        const float* block1 = take(in1, carried1, done1, missing1, time1, count1);
        if (block1) {
            held1.input = &in1;
            missing1 = false;
        } else {
            missing1 = true;
            time1 = clock.Now();
        }

        double time2 = 0;
        int count2 = 0;
        const float* block2 = nullptr;
        if (in2) {
            for (;;) {
                block2 = take(*in2, carried2, done2, missing2, time2, count2);
                // Aligned with input 1's audio only: silence put in for an input that delivers nothing
                // (dead, stalled, an idle loopback, or done in the drain) has no time to align with.
                if (block2 && held1.input && recorded && gapBefore(time1, lastStamp1, time2)) {
                    keep(carried1, held1, block1, time1, count1);
                    break;
                }
                if (block2 && held1.input && time2 < time1 - kLagSeconds) {
                    if (recorded && !controls.PausedAt(time2)) Session->DroppedBlocks.Add(1);
                    in2->ReleaseTaken();
                    continue;
                }
                break;
            }
            if (block2) {
                held2.input = in2;
                missing2 = false;
            } else {
                missing2 = true;
            }
            // Input 2 waits after any gap in its own audio while input 1's block is more than a block
            // older, also after its first block (a loopback that began to play while the writer was
            // behind) and where it was a little ahead before the gap (a slower device clock, a block
            // early): nothing else brings it back beside input 1's audio. It has started only with a
            // block it does not hold back, so the silence beside input 1's older audio is its start.
            if (held1.input && held2.input && time1 < time2 - blockSec && time2 - lastStamp2 > lateAfter)
                keep(carried2, held2, block2, time2, count2);
            if (held2.input) started2 = true;
        }
        // Like input 2, input 1 has started only with a block it does not hold back.
        if (held1.input) started1 = true;

        if (!draining && clock.StopSet()) {
            // The stop came during the takes: a block stamped after it is not recorded, and an
            // input whose take found nothing is asked again, now for what came before the stop.
            beginDrain();
            if (held1.input && time1 > stopTime) {
                held1.Release();
                done1 = true;
            }
            if (held2.input && time2 > stopTime) {
                held2.Release();
                done2 = true;
            }
            for (auto [carried, done] : {std::pair{&carried1, &done1}, std::pair{&carried2, &done2}}) {
                if (carried->input && carried->time > stopTime) {
                    carried->Release();
                    *done = true;
                }
            }
        }
        const bool silent1 = !held1.input, silent2 = in2 && !held2.input;
        if (!silent1) lastStamp1 = time1;
        if (in2 && !silent2) lastStamp2 = time2;
        if (draining && silent1 && (!in2 || silent2)) {
            if (done1 && (!in2 || done2)) break;
            continue;
        }
        if (silent1) block1 = silence.data(), count1 = static_cast<int>(silence.size());
        if (silent2) block2 = silence.data(), count2 = static_cast<int>(silence.size());

        if (!draining) {
            lastStep = clock.Now();
            if (!missing1) lastBlock1 = lastStep;
            if (in2 && !missing2) lastBlock2 = lastStep;
            stallWatch(1, lastBlock1, stall1);
            if (in2) stallWatch(2, lastBlock2, stall2);
        }

        // A request made while the takes waited still counts for the blocks they brought. Each
        // input's block is decided by its own stamp: the two may lie up to the alignment's lag
        // apart, on either side of a pause's edge, and the one captured outside the pause is kept
        // beside silence for the other (no substitution: that input was paused).
        takeControls();
        const bool paused1 = !silent1 && controls.PausedAt(time1);
        const bool paused2 = in2 && !silent2 && controls.PausedAt(time2);
        const bool kept1 = !silent1 && !paused1, kept2 = in2 && !silent2 && !paused2;
        if (!kept1 && !kept2 && (paused1 || paused2 || controls.PausedAt(time1))) continue;
        if (paused1) block1 = silence.data(), count1 = static_cast<int>(silence.size());
        if (paused2) block2 = silence.data(), count2 = static_cast<int>(silence.size());
        const double stamp = kept1 || !kept2 ? time1 : time2;
        // Counted once written: silence taken during a pause, or after the stop where nothing more
        // can be written, never reaches the file. After the stop an input without more audio has
        // ended, and the silence beside the other's last block is no substitution; but one that
        // had gone quiet earlier than a block before the other's audio still has a gap there.
        auto substitutes = [&](bool silent, bool started, bool stalled, double lastStamp, double present) {
            return silent && (started || stalled) && (!draining || present - lastStamp > lateAfter);
        };
        const int substituted = (substitutes(silent1, started1, stall1, lastStamp1, time2) ? 1 : 0) +
                                (in2 && substitutes(silent2, started2, stall2, lastStamp2, time1) ? 1 : 0);

        // The inputs' own blocks in this step, which a failed write after the stop loses.
        const int realBlocks = (kept1 ? 1 : 0) + (kept2 ? 1 : 0);
        if (!unwritable && controls.SplitDue(stamp) && !split(stamp)) break;
        if (draining && !unwritable && (!writer || !writer->IsOpen())) unwritable = true;
        if (unwritable) {
            Session->DroppedBlocks.Add(realBlocks);
            continue;
        }

        // A block is never longer than the buffers the writer sized for it.
        const int frames = std::min(count1 / 2, BufferFrames);
        ApplyRouting(block1, frames, settings.In1Route, channels, out1.data(), settings.In1Gain);
        if (in2) {
            const int frames2 = std::min(count2 / 2, frames);
            ApplyRouting(block2, frames2, settings.In2Route, channels, out2.data(), settings.In2Gain);
            std::fill(out2.begin() + static_cast<ptrdiff_t>(frames2) * channels, out2.end(), 0.0f);
            MixInto(out1.data(), out2.data(), static_cast<size_t>(frames) * channels);
        }
        try {
            writer->Write(out1, 0, static_cast<size_t>(frames) * channels);
        } catch (const std::exception& e) {
            if (!draining) throw;
            // The user has stopped: the report counts what could not be written (a full disk, a
            // drive gone) rather than a second error on top of the stop.
            Log::Error(std::string("Could not write the audio captured before the stop: ") + e.what());
            unwritable = true;
            Session->DroppedBlocks.Add(realBlocks);
            continue;
        }
        FramesCommitted.fetch_add(frames);
        Session->SilenceBlocks.Add(substituted);

        if (!draining && lastStep - lastFlush > kFlushSeconds) {
            // UpdateSizes hands the buffered samples to the file first: no separate Flush is needed.
            writer->UpdateSizes();
            lastFlush = lastStep;
            WriteJournal(false);
        }
    }
}

void RecorderState::Finalize(Rf64Writer* writer, const std::optional<std::string>& splitCloseError,
                             const fs::path& closedPart) noexcept {
    if (Input1) Input1->ClearRunning();
    if (Input2) Input2->ClearRunning();
    try {
        if (splitCloseError) {
            // A part that did not close cleanly may be short of its last samples or sizes: keep
            // the journal so the next start offers it for repair.
            EndJournal(true);
            Session->Error = *splitCloseError;
            Session->Status.store(FinalizationStatus::FinalizationFailed);
        } else if ((writer && writer->IsOpen()) || !closedPart.empty()) {
            // The recording's last file is verified however it came to be closed: by this close,
            // or by a split that no later part followed.
            const fs::path path = writer && writer->IsOpen() ? CurrentFile() : closedPart;
            if (writer && writer->IsOpen()) writer->Close();
            WriteJournal(true);
            Session->Status.store(FinalizationStatus::Success);
            if (!Services.Verify(path, Channels, SampleRate)) {
                Session->Status.store(FinalizationStatus::ClosedWithWarnings);
                Log::Warn("File verification warning for " + platform::PathText(path));
            }
        } else {
            Session->Status.store(FinalizationStatus::Success);
            WriteJournal(true);
        }
    } catch (const std::exception& e) {
        // The journal stays for the repair, with the newest state it was given.
        EndJournal(true);
        // The error first: an owner that sees the final status may read it at once.
        Session->Error = e.what();
        Session->Status.store(FinalizationStatus::FinalizationFailed);
        Log::Error(std::string("Finalization failed: ") + e.what(), e);
    } catch (...) {
        EndJournal(true);
        Session->Error = "unknown exception";
        Session->Status.store(FinalizationStatus::FinalizationFailed);
        Log::Error("Finalization failed: unknown exception");
    }
    for (const auto& input : {Input1, Input2}) {
        if (!input) continue;
        try {
            if (!input->WaitEnded(kReaderJoinMs))
                Log::Warn("Reader thread " + std::to_string(input->Number()) + " did not shut down within 3 seconds");
        } catch (...) {
        }
        input->Drain();
    }
}

RecorderServices RecorderServices::Platform() {
    RecorderServices s;
    s.LocalNow = [] { return platform::Now(); };
    s.TimestampNow = [] { return Naming::Timestamp(platform::Now()); };
    s.CreateFile = [](const fs::path& path, int rate, int channels, int bits) {
        return std::make_unique<Rf64Writer>(path, rate, channels, bits);
    };
    s.Verify = [](const fs::path& path, int channels, int rate) { return WavFile::Verify(path, channels, rate); };
    s.Exists = [](const fs::path& path) { return platform::FileExists(path) || platform::DirectoryExists(path); };
    s.WriteJournal = [](const fs::path& path, const JournalEntry& entry) { RecoveryJournal::Write(path, entry); };
    return s;
}

}  // namespace twr
