#pragma once
// Fire-and-forget playback of one 16-bit buffer through the Windows waveform output. Every
// playback opens its own device handle, so cues overlap instead of queuing, and a short-lived
// "SoundReaper" thread does all the waiting and the clean-up, so the caller never blocks on a
// sound device. This header is portable; the platform side lives in wave_out_win.cpp.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace twr {

class WaveOut {
public:
    // The device number that lets the system pick the user's default output.
    static constexpr int kWaveMapper = -1;

    // Starts playing interleaved 16-bit samples and returns at once. A device that cannot be
    // opened, or refuses the buffer, is silent; a failure to allocate or to start the reaper
    // thread throws (after the device has been reset and every buffer released). Windows only.
    static void PlayAsync(std::vector<int16_t> samples, int sampleRate, int channels, int deviceNumber);

    // The number of the first output device whose product name contains the text, ignoring
    // case; -1 when none does. Windows only.
    [[nodiscard]] static int FindDevice(std::string_view name);

    // How long the reaper waits for the device to finish before it cuts the buffer off:
    // the buffer's duration (every channel's samples counted) plus two seconds.
    [[nodiscard]] static int64_t ReaperLimitMs(std::size_t sampleCount, int sampleRate) noexcept;
};

}  // namespace twr
