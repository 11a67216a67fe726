#include <windows.h>

#include <chrono>
#include <vector>

#include "app/errors.h"
#include "app/platform.h"
#include "app/win_error.h"
#include "app/win_raii.h"

namespace twr::platform {

namespace {

[[noreturn]] void ThrowFileError(const fs::path& path, DWORD err) {
    std::string p = PathText(path);
    if (err == ERROR_FILE_NOT_FOUND) throw IoError("Could not find file '" + p + "'.", err);
    if (err == ERROR_PATH_NOT_FOUND) throw IoError("Could not find a part of the path '" + p + "'.", err);
    if (err == ERROR_ACCESS_DENIED) throw IoError("Access to the path '" + p + "' is denied.", err);
    throw IoError(win::SystemMessage(err) + " : '" + p + "'", err);
}

win::unique_hfile Open(const fs::path& path, DWORD access, DWORD disposition) {
    win::unique_hfile h(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) ThrowFileError(path, ::GetLastError());
    return h;
}

void WriteAll(HANDLE h, std::string_view bytes, const fs::path& path) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(h, bytes.data() + done, chunk, &written, nullptr)) ThrowFileError(path, ::GetLastError());
        done += written;
    }
}

}  // namespace

std::optional<std::string> GetEnv(const char* name) {
    std::wstring wname = win::Widen(name);
    DWORD n = ::GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
    if (n == 0) {
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
    }
    std::wstring buf(n, L'\0');
    n = ::GetEnvironmentVariableW(wname.c_str(), buf.data(), n);
    buf.resize(n);
    return win::Narrow(buf);
}

std::string DecimalSeparator() {
    wchar_t separator[8];  // the system allows at most three characters
    const int n = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8);
    return n > 1 ? win::Narrow(std::wstring_view(separator, static_cast<size_t>(n - 1))) : std::string(".");
}

fs::path ProfileDir() {
    if (auto p = GetEnv("USERPROFILE"); p && !p->empty()) return U8Path(*p);
    return fs::path(L"C:\\");
}

fs::path ExePath() {
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return fs::path(std::wstring(buf.data(), n));
        buf.resize(buf.size() * 2);
    }
}

fs::path TempDir() {
    wchar_t buf[MAX_PATH + 2];
    DWORD n = ::GetTempPathW(MAX_PATH + 1, buf);
    if (n == 0 || n > MAX_PATH + 1) return fs::path(L"C:\\");
    return fs::path(std::wstring(buf, n));
}

void CreateDirectories(const fs::path& dir) {
    // Folder by folder with the Win32 call: the C++ library reports these failures as C
    // runtime errno values, which would be read as unrelated Windows error numbers.
    if (dir.empty() || DirectoryExists(dir)) return;
    const fs::path parent = dir.parent_path();
    if (!parent.empty() && parent != dir) CreateDirectories(parent);
    if (!::CreateDirectoryW(dir.c_str(), nullptr)) {
        const DWORD err = ::GetLastError();
        if (!DirectoryExists(dir)) ThrowFileError(dir, err);
    }
}

bool FileExists(const fs::path& path) noexcept {
    DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const fs::path& path) noexcept {
    DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<uint64_t> FileSize(const fs::path& path) noexcept {
    WIN32_FILE_ATTRIBUTE_DATA d{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d)) return std::nullopt;
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return std::nullopt;
    return (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

void AppendToFile(const fs::path& path, std::string_view bytes) {
    auto h = Open(path, FILE_APPEND_DATA, OPEN_ALWAYS);
    WriteAll(h.get(), bytes, path);
}

std::string ReadFileBytes(const fs::path& path) {
    auto h = Open(path, GENERIC_READ, OPEN_EXISTING);
    std::string out;
    char buf[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(h.get(), buf, sizeof buf, &n, nullptr)) ThrowFileError(path, ::GetLastError());
        if (n == 0) break;
        out.append(buf, n);
    }
    return out;
}

void WriteFileDurable(const fs::path& path, std::string_view bytes) {
    auto h = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
    WriteAll(h.get(), bytes, path);
    if (!::FlushFileBuffers(h.get())) ThrowFileError(path, ::GetLastError());
}

void MoveReplace(const fs::path& from, const fs::path& to, bool writeThrough) {
    DWORD flags = MOVEFILE_REPLACE_EXISTING | (writeThrough ? MOVEFILE_WRITE_THROUGH : 0);
    if (!::MoveFileExW(from.c_str(), to.c_str(), flags)) ThrowFileError(from, ::GetLastError());
}

void CopyFileReplace(const fs::path& from, const fs::path& to) {
    if (!::CopyFileW(from.c_str(), to.c_str(), FALSE)) ThrowFileError(from, ::GetLastError());
}

void DeleteFileIfExists(const fs::path& path) {
    if (!::DeleteFileW(path.c_str())) {
        DWORD err = ::GetLastError();
        if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) ThrowFileError(path, err);
    }
}

std::optional<uint64_t> FreeSpace(const fs::path& path) noexcept {
    ULARGE_INTEGER avail{};
    if (!::GetDiskFreeSpaceExW(path.c_str(), &avail, nullptr, nullptr)) return std::nullopt;
    return avail.QuadPart;
}

LocalTime ToLocal(int64_t unixMillis) {
    // FILETIME counts 100 ns from 1601; the conversion keeps the user's time zone rules.
    uint64_t ft = static_cast<uint64_t>(unixMillis) * 10000ULL + 116444736000000000ULL;
    FILETIME utc{static_cast<DWORD>(ft), static_cast<DWORD>(ft >> 32)};
    SYSTEMTIME su{}, sl{};
    ::FileTimeToSystemTime(&utc, &su);
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &su, &sl)) sl = su;
    return {sl.wYear, sl.wMonth, sl.wDay, sl.wHour, sl.wMinute, sl.wSecond, sl.wMilliseconds};
}

int64_t UnixMillisNow() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

LocalTime Now() {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

double MonotonicSeconds() {
    static const double freq = [] {
        LARGE_INTEGER f{};
        ::QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER c{};
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / freq;
}

void SetNativeThreadName(const std::string& name) noexcept {
    // Bound at run time: older systems (and some Wine versions) lack the export.
    using Fn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static Fn fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (fn) fn(::GetCurrentThread(), win::Widen(name).c_str());
}

uint32_t ProcessId() noexcept { return ::GetCurrentProcessId(); }

}  // namespace twr::platform
