#include <string>

#include "app/log.h"
#include "feedback/sound_library.h"
#include "feedback/sounds.h"
#include "feedback/wave_out.h"

namespace twr {

void Sounds::Play(std::string_view name, int volumePercent) noexcept {
    try {
        std::vector<int16_t> copy = Scaled(SoundLibrary::Get(name), volumePercent);
        if (copy.empty()) return;
        WaveOut::PlayAsync(std::move(copy), kCueRate, 1, WaveOut::kWaveMapper);
    } catch (const std::exception& e) {
        Log::Warn(std::string("Sound playback failed: ") + e.what());
    }
}

}  // namespace twr
