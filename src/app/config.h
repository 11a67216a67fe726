#pragma once
// The user's settings (recorder_config.json) and the per-user application-data folder.
#include <filesystem>
#include <string>

namespace twr {

class Config {
public:
    // LOCALAPPDATA (the profile folder when unset or empty) joined with "Tapewright";
    // every read creates the folder when missing and throws IoError when it cannot.
    static std::filesystem::path AppDataDir();
    // The same path without creating anything.
    static std::filesystem::path AppDataPathUnchecked();
    // The running executable's folder.
    static std::filesystem::path AppFolder();
};

}  // namespace twr
