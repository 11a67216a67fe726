#include "recording/writer_loop.h"

#include <algorithm>
#include <cstdio>
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
    try {
        WriterLoop(writer, splitCloseError);
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
    Finalize(writer.get(), splitCloseError);
    // Finalize has ended the journal's thread on each of its paths; this only makes sure.
    EndJournal(true);
    WriterAlive.store(false, std::memory_order_release);
}

void RecorderState::WriterLoop(std::unique_ptr<Rf64Writer>& writer, std::optional<std::string>& splitCloseError) {
    const WriterSettings settings = Services.ReadSettings ? Services.ReadSettings() : WriterSettings{};
    const int channels = Channels == 1 ? 1 : 2;
    const size_t outFloats = static_cast<size_t>(BufferFrames) * channels;
    std::vector<float> out1(outFloats), out2(outFloats);
    std::vector<float> silence(2 * static_cast<size_t>(BufferFrames), 0.0f);
    const double blockSec = static_cast<double>(BufferFrames) / SampleRate;
    const int takeTimeoutMs = static_cast<int>((blockSec + 0.05) * 1000);
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

    while (!clock.StopSet()) {
        const size_t queued1 = in1.QueuedCount();
        const size_t queued2 = in2 ? in2->QueuedCount() : 0;
        if (queued1 > 0) missing1 = false;
        if (queued2 > 0) missing2 = false;
        if (queued1 == 0 && queued2 == 0) {
            if (clock.WaitStop(kIdleSleepMs)) break;
            if (!dead1 && !in1.ThreadAlive()) {
                Log::Warn("Mic 1 thread died unexpectedly");
                dead1 = true;
                const bool continuing = settings.ContinueOnMicDisconnect && in2 && !dead2;
                if (Callbacks.OnMicDisconnected) Callbacks.OnMicDisconnected(1, continuing);
                if (!continuing) break;
            }
            if (in2 && !dead2 && !in2->ThreadAlive()) {
                Log::Warn("Mic 2 thread died unexpectedly");
                dead2 = true;
                const bool continuing = settings.ContinueOnMicDisconnect && !dead1;
                if (Callbacks.OnMicDisconnected) Callbacks.OnMicDisconnected(2, continuing);
                if (!continuing) break;
            }
            if (clock.Now() - lastStep <= blockSec + 0.05) continue;
        }

        // Both blocks go back to their inputs however this step ends.
        struct Held {
            WriterInput* input = nullptr;
            ~Held() {
                if (input) input->ReleaseTaken();
            }
        } held1, held2;

        double time1 = 0;
        int count1 = 0;
        const float* block1 = in1.Take(missing1 ? 0 : takeTimeoutMs, time1, count1);
        if (block1) {
            held1.input = &in1;
            missing1 = false;
            started1 = true;
        } else {
            missing1 = true;
            time1 = clock.Now();
            block1 = silence.data();
            count1 = static_cast<int>(silence.size());
        }

        const float* block2 = nullptr;
        int count2 = 0;
        if (in2) {
            for (;;) {
                double time2 = 0;
                block2 = in2->Take(missing2 ? 0 : takeTimeoutMs, time2, count2);
                if (block2 && time2 < time1 - kLagSeconds) {
                    in2->ReleaseTaken();
                    continue;
                }
                break;
            }
            if (block2) {
                held2.input = in2;
                missing2 = false;
                started2 = true;
            } else {
                missing2 = true;
                block2 = silence.data();
                count2 = static_cast<int>(silence.size());
            }
        }
        const bool silent1 = !held1.input, silent2 = in2 && !held2.input;
        // A take cut short by the stop (its reader ends with it) found no gap in the audio: the
        // recording ends with the step before, as it does for the blocks still queued, so the file
        // holds no silence that the count does not.
        if ((silent1 || silent2) && clock.StopSet()) break;

        lastStep = clock.Now();
        if (!missing1) lastBlock1 = lastStep;
        if (in2 && !missing2) lastBlock2 = lastStep;
        stallWatch(1, lastBlock1, stall1);
        if (in2) stallWatch(2, lastBlock2, stall2);

        if (Paused.load(std::memory_order_acquire)) continue;
        // Counted as written: silence taken during a pause never reaches the file.
        if (silent1 && (started1 || stall1)) Session->SilenceBlocks.Add(1);
        if (silent2 && (started2 || stall2)) Session->SilenceBlocks.Add(1);

        // A block is never longer than the buffers the writer sized for it.
        const int frames = std::min(count1 / 2, BufferFrames);
        ApplyRouting(block1, frames, settings.In1Route, channels, out1.data(), settings.In1Gain);
        if (in2) {
            const int frames2 = std::min(count2 / 2, frames);
            ApplyRouting(block2, frames2, settings.In2Route, channels, out2.data(), settings.In2Gain);
            std::fill(out2.begin() + static_cast<ptrdiff_t>(frames2) * channels, out2.end(), 0.0f);
            MixInto(out1.data(), out2.data(), static_cast<size_t>(frames) * channels);
        }
        writer->Write(out1, 0, static_cast<size_t>(frames) * channels);
        FramesCommitted.fetch_add(frames);

        if (lastStep - lastFlush > kFlushSeconds) {
            // UpdateSizes hands the buffered samples to the file first: no separate Flush is needed.
            writer->UpdateSizes();
            lastFlush = lastStep;
            WriteJournal(false);
        }

        // After the stop no new part begins: it would stay empty.
        if (SplitRequested.load(std::memory_order_acquire) && !clock.StopSet()) {
            SplitRequested.store(0, std::memory_order_release);
            const std::optional<std::string> root = DriveRootOf(Services.SaveFolder ? Services.SaveFolder() : "");
            try {
                writer->Close();
                Log::Info("Split file closed successfully: " + platform::PathText(CurrentFile()));
            } catch (const std::exception& e) {
                const std::string text = std::string("Failed to close split file: ") + e.what();
                Log::Error(text);
                splitCloseError = text;
                Report(Callbacks.OnError, text);
                break;
            }
            if (root && !IsSystemDrive(*root) && !Services.Exists(platform::U8Path(*root))) {
                Report(Callbacks.OnError, "Output drive disconnected during auto-split.");
                break;
            }
            // Closing forces the part to the disk, seconds on a slow drive: a stop that came meanwhile
            // ends the recording with the part just closed.
            if (clock.StopSet()) break;
            Session->SplitCount.fetch_add(1);
            const int part = PartNumber.fetch_add(1) + 1;
            try {
                writer.reset();
                writer = CreatePartFile(Services.TimestampNow(), part, true);
                Log::Info("Successfully opened next split file: " + platform::PathText(CurrentFile()));
            } catch (const std::exception& e) {
                const std::string text = std::string("Failed to open next split file: ") + e.what();
                Log::Error(text);
                writer.reset();
                Report(Callbacks.OnError, text);
                break;
            }
            FramesCommitted.store(0);
            WriteJournal(false);
            if (Callbacks.OnSplit) Callbacks.OnSplit();
        }
    }
}

void RecorderState::Finalize(Rf64Writer* writer, const std::optional<std::string>& splitCloseError) noexcept {
    if (Input1) Input1->ClearRunning();
    if (Input2) Input2->ClearRunning();
    try {
        if (splitCloseError) {
            // A part that did not close cleanly may be short of its last samples or sizes: keep
            // the journal so the next start offers it for repair.
            EndJournal(true);
            Session->Error = *splitCloseError;
            Session->Status.store(FinalizationStatus::FinalizationFailed);
        } else if (writer && writer->IsOpen()) {
            const fs::path path = CurrentFile();
            writer->Close();
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
