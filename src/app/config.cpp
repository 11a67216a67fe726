#include "app/config.h"

#include "app/platform.h"

namespace twr {

namespace fs = std::filesystem;

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

}  // namespace twr
