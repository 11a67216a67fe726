// Test stand-in for the screen reader's controller client. Its behaviour is set by the
// environment variable TWR_STANDIN_MODE: "running" (default) answers 0 to both calls,
// "notrunning" answers 1 to testIfRunning, "reject" accepts testIfRunning but refuses
// every text. When TWR_STANDIN_LOG names a file, every text asked to be spoken is appended
// to it as one UTF-8 line.
#include <string>

// Header-only: the stand-in stays a small library of its own, not linked with the product.
#include "app/win_raii.h"

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buf[1024];
    DWORD n = GetEnvironmentVariableW(name, buf, 1024);
    return (n > 0 && n < 1024) ? std::wstring(buf, n) : std::wstring();
}

}  // namespace

extern "C" __declspec(dllexport) unsigned long __stdcall nvdaController_testIfRunning() {
    return Env(L"TWR_STANDIN_MODE") == L"notrunning" ? 1722UL : 0UL;
}

extern "C" __declspec(dllexport) unsigned long __stdcall nvdaController_speakText(const wchar_t* text) {
    std::wstring mode = Env(L"TWR_STANDIN_MODE");
    if (mode == L"notrunning") return 1722UL;
    if (mode == L"reject") return 5UL;
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
