#include "feedback/speech.h"

#include <exception>

#include "app/errors.h"
#include "app/log.h"
#include "app/platform.h"

namespace twr {

namespace fs = std::filesystem;

namespace {

struct State {
    bool initialised = false;
    std::optional<Speech::Client> client;
};

State& S() {
    static State state;
    return state;
}

// The file in the application-data folder holds exactly the embedded bytes. Any doubt
// (unreadable, other length, other content) counts as a difference, so the copy is refreshed.
bool SameBytes(const fs::path& file, std::string_view bytes) {
    try {
        return platform::ReadFileBytes(file) == bytes;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

void Speech::Init() {
    if (S().initialised) return;
    Init(Host());
}

void Speech::Init(const Platform& platform) {
    if (S().initialised) return;
    S().initialised = true;
    // Unpacking runs before any candidate is tried, so the copy in the application-data folder
    // is refreshed at every start, even when a library lies beside the executable.
    std::optional<fs::path> unpacked = Unpack(platform);
    LoadNvda(Candidates(platform.exeFolder, unpacked, platform.architecture), platform);
    Log::Info("Speech backend: " + Describe());
}

bool Speech::IsBound() noexcept { return S().client.has_value(); }

bool Speech::NvdaRunning() noexcept {
    if (!S().client) return false;
    try {
        return S().client->testIfRunning() == 0;
    } catch (...) {
        return false;
    }
}

std::string Speech::Describe() {
    const bool bound = IsBound();
    return DescribeText(bound, bound && NvdaRunning());
}

std::string Speech::DescribeText(bool bound, bool running) {
    if (!bound) return "none (NVDA controller client not found)";
    return running ? "NVDA controller client (NVDA running)" : "NVDA controller client (NVDA not running)";
}

void Speech::Speak(std::string_view text) {
    if (Gate && !Gate()) return;
    SpeakRaw(text);
}

void Speech::SpeakRaw(std::string_view text) noexcept {
    if (text.empty() || !S().client) return;
    try {
        // NVDA is asked before every announcement; nothing is queued for later.
        if (!NvdaRunning()) return;
        if (S().client->speakText(text) != 0) Log::Warn("NVDA rejected an announcement.");
    } catch (const std::exception& e) {
        Log::Warn(std::string("NVDA speak failed: ") + e.what());
    } catch (...) {
        Log::Warn("NVDA speak failed: unknown error");
    }
}

std::string Speech::LibraryFileName(std::string_view architecture) {
    return "nvdaControllerClient" + std::string(architecture) + ".dll";
}

std::vector<Speech::Candidate> Speech::Candidates(const fs::path& exeFolder, const std::optional<fs::path>& unpacked,
                                                  std::string_view architecture) {
    const std::string archName = LibraryFileName(architecture);
    auto besideExe = [&](const std::string& name) {
        return exeFolder.empty() ? fs::path() : exeFolder / platform::U8Path(name);
    };
    return {
        {besideExe(archName), false},
        {besideExe(kLibraryResource), false},
        {unpacked.value_or(fs::path()), false},
        {platform::U8Path(archName), true},
        {platform::U8Path(kLibraryResource), true},
    };
}

std::optional<fs::path> Speech::Unpack(const Platform& platform) {
    try {
        // Finding the resource can fail too (a damaged image); that must not stop the start.
        std::optional<std::string_view> library = platform.resource(kLibraryResource);
        if (!library) {
            Log::Info("No controller client is embedded in this build.");
            return std::nullopt;
        }
        const fs::path folder = platform.appDataDir();
        const fs::path target = folder / platform::U8Path(LibraryFileName(platform.architecture));
        const bool existed = platform::FileExists(target);
        if (existed && SameBytes(target, *library)) return target;
        try {
            fs::path temp = target;
            temp += ".tmp";
            platform::WriteFileDurable(temp, *library);
            platform::MoveReplace(temp, target);
            Log::Info("Unpacked the embedded NVDA controller client to " + platform::PathText(target));
        } catch (const IoError&) {
            // Typically another running instance has the library loaded: the copy it uses is
            // still a controller client, so it is used unchanged.
            if (existed) return target;
            throw;
        }
        WriteLicence(folder, platform);
        return target;
    } catch (const std::exception& e) {
        Log::Warn(std::string("Could not unpack the embedded NVDA controller client: ") + e.what());
        return std::nullopt;
    }
}

void Speech::WriteLicence(const fs::path& folder, const Platform& platform) noexcept {
    try {
        std::optional<std::string_view> licence = platform.resource(kLicenceName);
        if (!licence) return;
        platform::WriteFileDurable(folder / platform::U8Path(kLicenceName), *licence);
    } catch (const std::exception& e) {
        Log::Warn(std::string("Could not write the controller client licence: ") + e.what());
    }
}

bool Speech::LoadNvda(const std::vector<Candidate>& candidates, const Platform& platform) {
    for (const Candidate& candidate : candidates) {
        if (candidate.path.empty()) continue;
        const std::string tried = platform::PathText(candidate.path);
        try {
            std::optional<Client> client = platform.bind(candidate);
            if (!client) continue;
            S().client = std::move(client);
            Log::Info("Loaded NVDA controller client: " + tried);
            return true;
        } catch (const std::exception& e) {
            Log::Warn("Failed binding NVDA client " + tried + ": " + e.what());
        }
    }
    Log::Warn("No NVDA controller client found for " + platform.architecture +
              "; spoken announcements are disabled. Place " + LibraryFileName(platform.architecture) +
              " next to the executable to enable them.");
    return false;
}

void Speech::ResetForTesting() {
    S() = State{};
    Gate = nullptr;
}

}  // namespace twr
