#include "app/win_error.h"

#include <shellapi.h>

#include "app/win_raii.h"

namespace twr::win {

void ThrowWin32(std::string_view text, DWORD error) {
    throw PlatformError(std::string(text) + ", error " + std::to_string(error), static_cast<int64_t>(error));
}

void ThrowLastError(std::string_view text) { ThrowWin32(text, ::GetLastError()); }

void ThrowIfFailed(HRESULT hr, std::string_view text) {
    if (FAILED(hr)) throw ComError(std::string(text), static_cast<int64_t>(static_cast<uint32_t>(hr)));
}

std::wstring Widen(std::string_view utf8) {
    if (utf8.empty()) return {};
    int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Narrow(std::wstring_view utf16) {
    if (utf16.empty()) return {};
    int n = ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr, 0,
                                  nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n, nullptr,
                          nullptr);
    return out;
}

std::vector<std::string> CommandLineArgs() {
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    const unique_hlocal owner(argv);
    std::vector<std::string> args;
    for (int i = 1; argv && i < argc; ++i) args.push_back(Narrow(argv[i]));
    return args;
}

std::string SystemMessage(DWORD error) {
    wchar_t* buf = nullptr;
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, error, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    const unique_hlocal owner(buf);
    std::wstring text = n && buf ? std::wstring(buf, n) : L"Error " + std::to_wstring(error);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return Narrow(text);
}

}  // namespace twr::win
