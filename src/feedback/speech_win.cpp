#include <windows.h>

#include "app/config.h"
#include "app/version.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "feedback/speech.h"

namespace twr {

namespace {

// The exports as the controller client declares them (error_status_t results).
using TestIfRunningFn = unsigned long(__stdcall*)();
using SpeakTextFn = unsigned long(__stdcall*)(const wchar_t*);

std::optional<std::string_view> EmbeddedResource(std::string_view name) {
    const std::wstring wide = win::Widen(name);
    HRSRC found = ::FindResourceW(nullptr, wide.c_str(), RT_RCDATA);
    if (!found) return std::nullopt;
    // Resource memory is mapped with the image and lives as long as the process.
    HGLOBAL loaded = ::LoadResource(nullptr, found);
    if (!loaded) win::ThrowLastError("LoadResource");
    const void* bytes = ::LockResource(loaded);
    if (!bytes) win::ThrowLastError("LockResource");
    return std::string_view(static_cast<const char*>(bytes), ::SizeofResource(nullptr, found));
}

std::optional<Speech::Client> Bind(const Speech::Candidate& candidate) {
    // A bare name is searched only in the application's folder and the system folders, never
    // in the current folder, where anyone could plant a library of that name.
    const DWORD flags = candidate.bareName ? LOAD_LIBRARY_SEARCH_DEFAULT_DIRS : LOAD_WITH_ALTERED_SEARCH_PATH;
    DWORD oldMode = 0;
    const bool quiet = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    win::unique_hmodule module(::LoadLibraryExW(candidate.path.c_str(), nullptr, flags));
    if (quiet) ::SetThreadErrorMode(oldMode, nullptr);
    if (!module) return std::nullopt;

    auto speak = reinterpret_cast<SpeakTextFn>(
        reinterpret_cast<void*>(::GetProcAddress(module.get(), "nvdaController_speakText")));
    auto test = reinterpret_cast<TestIfRunningFn>(
        reinterpret_cast<void*>(::GetProcAddress(module.get(), "nvdaController_testIfRunning")));
    if (!speak || !test) return std::nullopt;

    Speech::Client client{
        [test] { return static_cast<int>(test()); },
        [speak](std::string_view text) {
            const std::wstring wide = win::Widen(text);
            return static_cast<int>(speak(wide.c_str()));
        },
    };
    // Bound for the rest of the process: the library is never unloaded.
    (void)module.release();
    return client;
}

}  // namespace

Speech::Platform Speech::Host() {
    return Platform{
        kArchName,
        Config::AppFolder(),
        EmbeddedResource,
        [] { return Config::AppDataDir(); },
        Bind,
    };
}

}  // namespace twr
