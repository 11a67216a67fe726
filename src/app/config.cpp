#include "app/config.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "app/log.h"
#include "app/platform.h"
#include "feedback/sound_library.h"

namespace twr {

namespace fs = std::filesystem;

namespace {

fs::path WithSuffix(const fs::path& path, std::string_view suffix) {
    return platform::U8Path(platform::PathText(path) + std::string(suffix));
}

bool IsSoundEvent(std::string_view event) {
    const auto& events = Config::SoundEvents();
    return std::find(events.begin(), events.end(), event) != events.end();
}

}  // namespace

fs::path Config::AppDataPathUnchecked() {
    auto local = platform::GetEnv("LOCALAPPDATA");
    fs::path base = (local && !local->empty()) ? platform::U8Path(*local) : platform::ProfileDir();
    return base / "Tapewright";
}

fs::path Config::AppDataDir() {
    fs::path dir = AppDataPathUnchecked();
    platform::CreateDirectories(dir);
    return dir;
}

fs::path Config::AppFolder() {
    fs::path exe = platform::ExePath();
    if (!exe.empty()) return exe.parent_path();
    std::error_code ec;
    std::string base = platform::PathText(fs::current_path(ec));
    while (!base.empty() && (base.back() == '\\' || base.back() == '/')) base.pop_back();
    return platform::U8Path(base);
}

const std::vector<std::string>& Config::SoundEvents() {
    static const std::vector<std::string> events = {"start", "stop", "pause", "unpause"};
    return events;
}

Config::Config() : Config(AppDataDir() / "recorder_config.json") {}

Config::Config(fs::path path) : path_(std::move(path)) { Load(); }

void Config::Load() {
    data_ = JsonObject();
    if (platform::FileExists(path_)) {
        try {
            const std::string text = DecodeFileText(platform::ReadFileBytes(path_));
            data_ = JsonObject::ParseObject(text);
        } catch (const std::exception& e) {
            Log::Warn(std::string("Config parse failed, using defaults: ") + e.what());
            data_ = JsonObject();
            keepBadCopy_ = true;
        }
    }
    if (data_.Contains("auto_split_mins")) {
        const int64_t minutes = data_.GetInt("auto_split_mins", 0);
        data_.Remove("auto_split_mins");
        // A 32-bit product would wrap for more than about 35 million minutes; saturate instead.
        const int64_t seconds = std::clamp<int64_t>(minutes * 60, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max());
        Set("auto_split_secs", static_cast<int32_t>(seconds));
    }
}

Config::SaveResult Config::Save() {
    try {
        if (keepBadCopy_) {
            // The file we could not read may be the user's hand-edited settings: keep it beside
            // the new one. When even the copy fails, the save does not go ahead.
            const fs::path bad = WithSuffix(path_, ".bad");
            if (platform::FileExists(path_)) {
                platform::CopyFileReplace(path_, bad);
                Log::Warn("Unreadable settings file kept as " + platform::PathText(bad));
            }
            keepBadCopy_ = false;
        }
        const fs::path temp = WithSuffix(path_, ".tmp");
        platform::WriteFileDurable(temp, data_.ToJson(4));
        platform::MoveReplace(temp, path_, true);
        return {};
    } catch (const std::exception& e) {
        Log::Error(std::string("Failed to save config: ") + e.what());
        return {false, e.what()};
    }
}

void Config::Set(std::string_view key, int32_t value) { data_.Set(key, JsonValue(value)); }

fs::path Config::SaveFolder() const {
    const std::string folder = data_.GetString("save_folder", "");
    return folder.empty() ? AppFolder() : platform::U8Path(folder);
}

std::string Config::SampleRate() const { return data_.GetString("sample_rate", "48000"); }
std::string Config::BitDepth() const { return data_.GetString("bit_depth", "24"); }
std::string Config::Channels() const { return data_.GetString("channels", "2"); }
std::string Config::FilenamePrefix() const { return data_.GetString("filename_prefix", ""); }
std::string Config::DeviceId() const { return data_.GetString("device_id", ""); }
std::string Config::Device2Id() const { return data_.GetString("device2_id", "none"); }
std::string Config::In1Route() const { return data_.GetString("in1_route", "Both Channels"); }
std::string Config::In2Route() const { return data_.GetString("in2_route", "Both Channels"); }
std::string Config::WindowTitle() const { return data_.GetString("window_title", "Tapewright"); }
std::string Config::DeviceSortOrder() const {
    return data_.GetString("device_sort_order", "Inputs First");
}

bool Config::HasSecondInput() const {
    const std::string id = Device2Id();
    return !id.empty() && id != "none";
}

double Config::Gain(std::string_view key, double def) const {
    const JsonValue value = data_.GetRaw(key);
    if (const double* number = value.AsNumber()) return *number;
    double parsed = 0;
    if (const std::string* text = value.AsString(); text && TryParseInvariantDouble(*text, parsed))
        return parsed;
    return def;
}

double Config::In1Gain() const { return Gain("in1_gain", HasSecondInput() ? 0.5 : 1.0); }
double Config::In2Gain() const { return Gain("in2_gain", 0.5); }

bool Config::SndEnabled(std::string_view event) const {
    if (!IsSoundEvent(event)) return true;
    return data_.GetBool("snd_" + std::string(event), true);
}

std::string Config::DefaultSoundFor(std::string_view event) {
    if (event == "start") return "Rising Sweep";
    if (event == "stop") return "Falling Sweep";
    if (event == "pause") return "Low Double Beep";
    if (event == "unpause") return "High Double Beep";
    return "None";
}

std::string Config::SoundFor(std::string_view event) const {
    std::string name = data_.GetString("snd_" + std::string(event) + "_sound", "");
    if (!name.empty() && SoundLibrary::IsKnown(name)) return name;
    return DefaultSoundFor(event);
}

void Config::SetSoundFor(std::string_view event, std::string_view name) {
    data_.Set("snd_" + std::string(event) + "_sound", JsonValue(name));
}

}  // namespace twr
