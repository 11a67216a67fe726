#include "app/sounds_report.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "app/console.h"
#include "app/program.h"
#include "feedback/sound_library.h"

namespace twr::SoundsReport {

namespace {

std::string PadRight(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string PadLeft(const std::string& text, size_t width) {
    return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

// A whole number with thousands separators, as the English culture writes it.
std::string Grouped(long long value) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return value < 0 ? "-" + out : out;
}

std::string Row(const std::string& name, const std::string& duration, const std::string& peak) {
    return PadRight(name, 22) + " " + PadLeft(duration, 9) + " " + PadLeft(peak, 8);
}

}  // namespace

std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    lines.push_back(Row("SOUND", "DURATION", "PEAK"));
    const auto& names = SoundLibrary::Names();
    for (const std::string& name : names) {
        const SoundLibrary::Samples& samples = SoundLibrary::Get(name);
        if (samples.empty()) {
            lines.push_back(Row(name, "-", "-"));
            continue;
        }
        const double ms = static_cast<double>(samples.size()) * 1000 / SoundLibrary::kSampleRate;
        int peak = 0;
        for (std::int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
        // n * 10 / 441 is never exactly half a millisecond, so the rounding rule cannot matter.
        lines.push_back(Row(name, PadLeft(Grouped(std::llround(ms)), 8) + "ms", std::to_string(peak)));
    }
    lines.emplace_back();
    lines.push_back(std::to_string(names.size()) + " sounds.");
    return lines;
}

}  // namespace twr::SoundsReport

namespace twr {

int Program::ListSounds() {
    for (const std::string& line : SoundsReport::Lines()) Console::WriteLine(line);
    return 0;
}

}  // namespace twr
