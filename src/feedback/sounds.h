#pragma once
// Plays the catalogue's cues at the user's volume. Callers (the main window, the sounds
// dialog) must never wait for a cue or be disturbed by a failing sound device.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "feedback/sound_library.h"

namespace twr {

class Sounds {
public:
    // The sample rate of every catalogue cue.
    static constexpr int kCueRate = SoundLibrary::kSampleRate;

    // Plays the named cue at the whole-number volume in percent and returns at once; never
    // throws. Nothing plays for "None", an unknown name or a volume of 0 or less. Windows only.
    static void Play(std::string_view name, int volumePercent) noexcept;

    // A copy of the cue scaled to the volume, each sample truncated towards zero; volumes above
    // 100 play at full level. Empty when nothing should play (no samples, volume 0 or less).
    // The cached cue itself is never touched.
    [[nodiscard]] static std::vector<int16_t> Scaled(std::span<const int16_t> cue, int volumePercent);
};

}  // namespace twr
