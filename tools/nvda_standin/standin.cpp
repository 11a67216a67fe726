// Test stand-in for the screen reader's controller client, steered by the environment variable
// TWR_STANDIN_MODE. By default (unset, empty or an unknown value) it answers 1722 to both calls,
// as the real client does while no screen reader runs, so a build that carries it never tells a
// user that speech works. "running" answers 0 to both calls (the Wine harness asks for it unless a
// test chooses), "notrunning" is the default by name, "reject" accepts testIfRunning but refuses
// every text. When TWR_STANDIN_LOG names a file, every accepted text is appended to it as one
// UTF-8 line.
#include <string>

// Header-only: the stand-in stays a small library of its own, not linked with the product.
#include "app/win_raii.h"

namespace {

// RPC_S_SERVER_UNAVAILABLE: what the real client answers while no screen reader runs.
constexpr unsigned long kNotRunning = 1722UL;

std::wstring Env(const wchar_t* name) {
    wchar_t buf[1024];
    DWORD n = GetEnvironmentVariableW(name, buf, 1024);
    return (n > 0 && n < 1024) ? std::wstring(buf, n) : std::wstring();
}

}  // namespace

extern "C" __declspec(dllexport) unsigned long __stdcall nvdaController_testIfRunning() {
    const std::wstring mode = Env(L"TWR_STANDIN_MODE");
    return mode == L"running" || mode == L"reject" ? 0UL : kNotRunning;
}

extern "C" __declspec(dllexport) unsigned long __stdcall nvdaController_speakText(const wchar_t* text) {
    const std::wstring mode = Env(L"TWR_STANDIN_MODE");
    if (mode == L"reject") return 5UL;
    if (mode != L"running") return kNotRunning;
    std::wstring log = Env(L"TWR_STANDIN_LOG");
    if (!log.empty() && text) {
        int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
        std::string line(n > 0 ? n - 1 : 0, '\0');
        if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, line.data(), n, nullptr, nullptr);
        line += "\n";
        twr::win::unique_hfile h(CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (h) WriteFile(h.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    return 0;
}
