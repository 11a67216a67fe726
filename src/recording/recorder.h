#pragma once
// The engine of one recording: chooses the folder and the file name, starts one reader thread per
// input and the "Writer" thread, lets its owner pause, split and stop it, and finalizes the file
// when the writer ends. It never touches a window; it reports through four callbacks that run on
// the writer thread. Used for exactly one recording. Portable.
//
// Everything the threads touch lives in a RecorderState held by shared pointer, so the owner may
// drop the Recorder while a stuck writer or reader is still ending.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/config.h"
#include "recording/recording_session.h"
#include "recording/wasapi.h"
#include "recording/writer_loop.h"

namespace twr {

class CaptureBackend;

class Recorder {
public:
    static constexpr int kMinSampleRate = 8000;
    static constexpr int kMaxSampleRate = 384000;
    static constexpr int kMaxBufferFrames = 1048576;

    // Stores a copy of the settings (read, never written); no thread, no file.
    explicit Recorder(const Config& config);
    // Tests: readers over this capture backend, and the services the writer uses.
    Recorder(const Config& config, std::shared_ptr<CaptureBackend> backend,
             std::function<RecorderServices(RecorderServices)> adjustServices);
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Set before Start; all run on the writer thread.
    std::function<void(const std::string&)> OnError;
    std::function<void()> OnSplit;
    std::function<void(int input, bool continuing)> OnMicDisconnected;
    std::function<void(int input, bool stalled)> OnMicStall;

    // Checks the format (InvalidArgument for channels outside 1-2, rates outside 8000-384000,
    // buffers outside 1-1048576 frames, depths other than 16/24/32), creates the output folder,
    // and starts the readers and the writer. prefix is already sanitised and may be empty.
    // Any failure propagates before a thread is left running. Call once.
    void Start(const AudioDevice& input1, const AudioDevice* input2, int sampleRate, int channels, int bitsPerSample,
               int bufferFrames, const std::string& prefix);
    // Sets the stop event and clears the readers' running flags; returns at once.
    void Stop();

    // True while the thread of input 1, or of input 2 when there is one, is alive.
    [[nodiscard]] bool ReadersAlive() const;
    // True from Start until the writer thread has finalized.
    [[nodiscard]] bool WriterAlive() const noexcept;

    // Null before Start.
    [[nodiscard]] const std::shared_ptr<RecordingSession>& Session() const noexcept { return session_; }
    [[nodiscard]] std::filesystem::path CurrentFile() const;
    [[nodiscard]] std::filesystem::path OutputFolder() const;
    [[nodiscard]] std::filesystem::path JournalPath() const;
    [[nodiscard]] int64_t FramesCommitted() const noexcept;
    [[nodiscard]] int PartNumber() const noexcept;
    // Takes effect on the audio captured from this moment on, however far behind the writer is.
    void SetPaused(bool paused) noexcept;
    [[nodiscard]] bool Paused() const noexcept;
    // The next part begins with the first block captured after this moment.
    void RequestSplit() noexcept;
    [[nodiscard]] bool SplitRequested() const noexcept;

    static void ApplyRouting(const float* source, int frames, std::string_view route, int channels,
                             float* destination, float gain) noexcept {
        twr::ApplyRouting(source, frames, route, channels, destination, gain);
    }
    [[nodiscard]] static std::optional<std::string> DriveRootOf(std::string_view path) noexcept {
        return twr::DriveRootOf(path);
    }
    [[nodiscard]] static bool IsSystemDrive(std::string_view root) noexcept { return twr::IsSystemDrive(root); }
    // Throws InvalidArgument when the recorder cannot record this format.
    static void CheckFormat(int sampleRate, int channels, int bitsPerSample, int bufferFrames);

private:
    const std::shared_ptr<const Config> config_;
    const std::shared_ptr<CaptureBackend> backend_;
    const std::function<RecorderServices(RecorderServices)> adjustServices_;
    std::shared_ptr<RecordingSession> session_;
    std::shared_ptr<RecorderState> state_;
    bool started_ = false;
};

}  // namespace twr
