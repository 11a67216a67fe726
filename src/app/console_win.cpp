#include <windows.h>

#include <mutex>
#include <string>

#include "app/console.h"
#include "app/win_error.h"

namespace twr::Console {

namespace {

std::mutex g_lock;

bool Usable(HANDLE h) noexcept {
    return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetFileType(h) != FILE_TYPE_UNKNOWN;
}

void Put(DWORD which, std::string_view text) noexcept {
    std::lock_guard<std::mutex> g(g_lock);
    HANDLE h = ::GetStdHandle(which);
    if (!Usable(h)) return;  // no console and nothing inherited: output goes nowhere
    DWORD mode = 0;
    if (::GetConsoleMode(h, &mode)) {
        std::wstring w = win::Widen(text);
        DWORD written = 0;
        ::WriteConsoleW(h, w.data(), static_cast<DWORD>(w.size()), &written, nullptr);
        return;
    }
    size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!::WriteFile(h, text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

}  // namespace

void Attach() noexcept {
    const bool outOk = Usable(::GetStdHandle(STD_OUTPUT_HANDLE));
    const bool errOk = Usable(::GetStdHandle(STD_ERROR_HANDLE));
    if (outOk && errOk) return;
    // The parent process: ATTACH_PARENT_PROCESS, all bits set.
    if (!::AttachConsole(static_cast<DWORD>(-1))) return;
    HANDLE con = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    if (con == INVALID_HANDLE_VALUE) return;
    // The handle stays open for the rest of the process: it is the process's standard output.
    if (!outOk) ::SetStdHandle(STD_OUTPUT_HANDLE, con);
    if (!errOk) ::SetStdHandle(STD_ERROR_HANDLE, con);
}

void Write(std::string_view text) noexcept { Put(STD_OUTPUT_HANDLE, text); }

void WriteLine(std::string_view text) noexcept {
    std::string line(text);
    line += "\r\n";
    Put(STD_OUTPUT_HANDLE, line);
}

void ErrorLine(std::string_view text) noexcept {
    std::string line(text);
    line += "\r\n";
    Put(STD_ERROR_HANDLE, line);
}

}  // namespace twr::Console
