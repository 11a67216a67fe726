#pragma once
// The user's settings (recorder_config.json) and the per-user application-data folder.
//
// Values are never cached: every getter reads `Data()` when it is called, so a value saved by a
// dialog takes effect at the next read. Keys the program does not know keep their place and
// their value through a load and a save. No lock: only the interface thread writes, and only
// while no recording runs (other threads read during a recording).
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/json.h"

namespace twr {

class Config {
public:
    // Defaults of the keys that have no getter; their readers use `Data().GetInt/GetBool/
    // GetString` with these, so every read site agrees.
    static constexpr int32_t kDefaultBufferSize = 2048;          // buffer_size
    static constexpr bool kDefaultAutoStart = false;             // auto_start
    static constexpr int32_t kDefaultAutoStartDelay = 0;         // auto_start_delay
    static constexpr int32_t kDefaultAutoSplitSecs = 0;          // auto_split_secs
    static constexpr int32_t kDefaultMaxLengthSecs = 0;          // max_length_secs
    static constexpr bool kDefaultGroupSplits = true;            // group_splits
    static constexpr bool kDefaultCheckUpdatesStartup = true;    // check_updates_startup
    static constexpr bool kDefaultConfirmExit = true;            // confirm_exit
    static constexpr bool kDefaultSpeakInFocusOnly = false;      // speak_in_focus_only
    static constexpr bool kDefaultAutoResumeUnattended = false;  // auto_resume_unattended
    static constexpr bool kDefaultContinueOnMicDisconnect = false;  // continue_on_mic_disconnect
    static constexpr bool kDefaultNotify = true;                 // every notify_* key
    static constexpr int32_t kDefaultSndVolume = 100;            // snd_volume

    // The per-user file: AppDataDir() / "recorder_config.json". Throws IoError when the
    // application-data folder cannot be created.
    Config();
    // An explicit file; loads it at once. A missing or unreadable file gives the defaults.
    explicit Config(std::filesystem::path path);

    // What a save came to. A dialog that saves tells the user when the file was not written,
    // so a lost change never looks saved.
    struct SaveResult {
        bool Saved = true;
        std::string Error;  // the reason, when not saved
    };

    // Writes the settings to `Path()` + ".tmp", flushes it to the disk and moves it over the
    // settings file. Never throws: a failure is one ERROR line, the old file stays as it was,
    // and the values stay in effect in memory.
    SaveResult Save();

    // Stores a number by the store rule (a new key goes last, an existing one keeps its place).
    void Set(std::string_view key, int32_t value);

    // The settings object itself; booleans and texts are stored with `Data().Set`.
    [[nodiscard]] JsonObject& Data() noexcept { return data_; }
    [[nodiscard]] const JsonObject& Data() const noexcept { return data_; }
    [[nodiscard]] const std::filesystem::path& Path() const noexcept { return path_; }

    // save_folder; an empty (or absent) setting means the executable's folder.
    [[nodiscard]] std::filesystem::path SaveFolder() const;
    [[nodiscard]] std::string SampleRate() const;      // "48000"
    [[nodiscard]] std::string BitDepth() const;        // "24"
    [[nodiscard]] std::string Channels() const;        // "2"
    [[nodiscard]] std::string FilenamePrefix() const;  // ""
    [[nodiscard]] std::string DeviceId() const;        // ""
    [[nodiscard]] std::string Device2Id() const;       // "none"
    [[nodiscard]] std::string In1Route() const;        // "Both Channels"
    [[nodiscard]] std::string In2Route() const;        // "Both Channels"
    [[nodiscard]] std::string WindowTitle() const;     // "Tapewright"
    [[nodiscard]] std::string DeviceSortOrder() const; // "Inputs First"
    // A number, or a text holding one; else 1.0 without a second input and 0.5 with one.
    [[nodiscard]] double In1Gain() const;
    // A number, or a text holding one; else 0.5.
    [[nodiscard]] double In2Gain() const;
    // The one rule for a second input: device2_id is neither "none" nor empty.
    [[nodiscard]] bool HasSecondInput() const;

    // "start", "stop", "pause", "unpause": the snd_<event> switch (default on); any other
    // event: true.
    [[nodiscard]] bool SndEnabled(std::string_view event) const;
    // The configured cue when the catalogue knows it (returned as stored), else the default.
    [[nodiscard]] std::string SoundFor(std::string_view event) const;
    [[nodiscard]] static std::string DefaultSoundFor(std::string_view event);
    void SetSoundFor(std::string_view event, std::string_view name);
    // The events whose cues are configurable, in this order: start, stop, pause, unpause.
    [[nodiscard]] static const std::vector<std::string>& SoundEvents();

    // LOCALAPPDATA (the profile folder when unset or empty) joined with "Tapewright";
    // every read creates the folder when missing and throws IoError when it cannot.
    static std::filesystem::path AppDataDir();
    // The same path without creating anything.
    static std::filesystem::path AppDataPathUnchecked();
    // The running executable's folder.
    static std::filesystem::path AppFolder();

private:
    void Load();
    [[nodiscard]] double Gain(std::string_view key, double def) const;

    JsonObject data_;
    std::filesystem::path path_;
    // The file on disk did not read or parse: the first Save keeps a copy of it before
    // replacing it, so hand-edited settings are never silently lost.
    bool keepBadCopy_ = false;
};

}  // namespace twr
