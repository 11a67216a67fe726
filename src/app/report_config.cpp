#include "app/report_config.h"

#include <algorithm>
#include <exception>

#include "app/config.h"
#include "app/errors.h"
#include "app/json.h"
#include "app/platform.h"

namespace twr {

namespace fs = std::filesystem;

namespace {

std::string BoolText(bool value) { return value ? "True" : "False"; }

std::string Resolve(const std::vector<AudioDevice>& devices, const std::string& id) {
    if (!id.empty()) {
        for (const AudioDevice& d : devices) {
            if (d.Id == id) return "FOUND   " + d.DisplayName();
        }
    }
    return "NOT CONNECTED";
}

}  // namespace

std::string LocalNumberText(double value, std::string_view decimalSeparator) {
    std::string text = InvariantNumberText(value);
    if (const size_t point = text.find('.'); point != std::string::npos) text.replace(point, 1, decimalSeparator);
    return text;
}

std::string ConfigReportRow(std::string_view label, std::string_view value) {
    std::string row = "  ";
    row.append(label);
    if (label.size() < 26) row.append(26 - label.size(), ' ');
    row.append(" ").append(value);
    return row;
}

const std::vector<std::string>& KnownConfigKeys() {
    static const std::vector<std::string> keys = {
        "auto_start", "auto_start_delay", "save_folder", "sample_rate", "bit_depth", "channels",
        "filename_prefix", "auto_split_secs", "max_length_secs", "group_splits", "buffer_size", "device_id",
        "device2_id", "in1_route", "in2_route", "in1_gain", "in2_gain", "window_title", "notify_start_stop",
        "notify_split", "notify_error", "notify_drive_disconnect", "notify_mic_disconnect",
        "speak_in_focus_only", "auto_resume_unattended", "continue_on_mic_disconnect", "confirm_exit",
        "check_updates_startup", "snd_start", "snd_stop", "snd_pause", "snd_unpause", "snd_volume",
        "device_sort_order", "snd_start_sound", "snd_stop_sound", "snd_pause_sound", "snd_unpause_sound",
        "auto_split_mins"};
    return keys;
}

ConfigReport BuildConfigReport(const fs::path& path, const std::function<std::vector<AudioDevice>()>& enumerate,
                               std::string_view decimalSeparator) {
    ConfigReport report;
    auto& out = report.lines;
    const bool exists = platform::FileExists(path);
    out.push_back("Config file : " + platform::PathText(path));
    out.push_back("Exists      : " + BoolText(exists));
    if (!exists) {
        out.push_back("");
        out.push_back("No configuration file yet; defaults would be used.");
        report.exitCode = 1;
        return report;
    }

    // Loads and migrates exactly as the windowed run does; a bad file gives the defaults.
    const Config config(path);
    const JsonObject& data = config.Data();
    auto row = [&](std::string_view label, std::string_view value) { out.push_back(ConfigReportRow(label, value)); };
    auto boolRow = [&](const char* key, bool def) { row(key, BoolText(data.GetBool(key, def))); };
    auto secondsRow = [&](const char* key, int def) { row(key, std::to_string(data.GetInt(key, def)) + " s"); };

    out.push_back("");
    out.push_back("As read by this build:");
    row("save_folder", platform::PathText(config.SaveFolder()));
    row("sample_rate", config.SampleRate());
    row("bit_depth", config.BitDepth());
    row("channels", config.Channels());
    row("buffer_size", std::to_string(data.GetInt("buffer_size", Config::kDefaultBufferSize)));
    row("filename_prefix", "\"" + config.FilenamePrefix() + "\"");
    boolRow("auto_start", Config::kDefaultAutoStart);
    secondsRow("auto_start_delay", Config::kDefaultAutoStartDelay);
    secondsRow("auto_split_secs", Config::kDefaultAutoSplitSecs);
    secondsRow("max_length_secs", Config::kDefaultMaxLengthSecs);
    boolRow("group_splits", Config::kDefaultGroupSplits);
    row("in1_route", config.In1Route());
    row("in2_route", config.In2Route());
    row("in1_gain / in2_gain",
        LocalNumberText(config.In1Gain(), decimalSeparator) + " / " + LocalNumberText(config.In2Gain(), decimalSeparator));
    row("window_title", config.WindowTitle());
    boolRow("confirm_exit", Config::kDefaultConfirmExit);
    boolRow("speak_in_focus_only", Config::kDefaultSpeakInFocusOnly);
    boolRow("auto_resume_unattended", Config::kDefaultAutoResumeUnattended);
    boolRow("continue_on_mic_disconnect", Config::kDefaultContinueOnMicDisconnect);
    boolRow("check_updates_startup", Config::kDefaultCheckUpdatesStartup);
    row("snd_volume", std::to_string(data.GetInt("snd_volume", Config::kDefaultSndVolume)));
    for (const std::string& event : Config::SoundEvents()) {
        row("sound for " + event, config.SoundFor(event) + (config.SndEnabled(event) ? "" : "  (disabled)"));
    }
    row("device_id", config.DeviceId());
    row("device2_id", config.Device2Id());

    out.push_back("");
    out.push_back("Device resolution:");
    try {
        const std::vector<AudioDevice> devices = enumerate();
        out.push_back("  Input 1  " + Resolve(devices, config.DeviceId()));
        if (!config.HasSecondInput()) {
            out.push_back("  Input 2  not configured");
        } else {
            out.push_back("  Input 2  " + Resolve(devices, config.Device2Id()));
        }
    } catch (const std::exception& e) {
        out.push_back(std::string("  device enumeration failed: ") + e.what());
    }

    out.push_back("");
    out.push_back("Keys present in the file that this build does not use:");
    // The file as it is on disk, before the migration of the load above.
    try {
        const std::string text = DecodeFileText(platform::ReadFileBytes(path));
        const JsonObject onDisk = JsonObject::ParseObject(text);
        const auto& known = KnownConfigKeys();
        bool any = false;
        for (const std::string& key : onDisk.Keys()) {
            if (std::find(known.begin(), known.end(), key) != known.end()) continue;
            out.push_back("  " + key + "   (preserved on save)");
            any = true;
        }
        if (!any) out.push_back("  none");
    } catch (const IoError& e) {
        out.push_back(std::string("  could not read the file: ") + e.what());
    } catch (const std::exception& e) {
        out.push_back(std::string("  could not parse the file: ") + e.what());
    }

    out.push_back("");
    out.push_back("Nothing was written. This command is read-only.");
    return report;
}

}  // namespace twr
