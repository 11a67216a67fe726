#include <windows.h>

#include "app/errors.h"
#include "app/platform.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "ui/crash_recovery.h"

namespace twr {

bool CrashRecovery::IsInUse(const std::filesystem::path& path) {
    // Shared with nobody: the open fails with a sharing violation while another process (a
    // running copy of the program still recording) holds the file.
    win::unique_hfile h(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h) return false;
    switch (::GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_ACCESS_DENIED:
            return false;
        default:
            return true;
    }
}

std::string CrashRecovery::ReadFilePrefix(const std::filesystem::path& path, size_t limit) {
    win::unique_hfile h(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    const auto fail = [&](DWORD err) {
        throw IoError(win::SystemMessage(err) + " : '" + platform::PathText(path) + "'", err);
    };
    if (!h) fail(::GetLastError());
    std::string out;
    char buf[65536];
    while (out.size() < limit) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(sizeof buf, limit - out.size()));
        if (!::ReadFile(h.get(), buf, want, &n, nullptr)) fail(::GetLastError());
        if (n == 0) break;
        out.append(buf, n);
    }
    return out;
}

}  // namespace twr
