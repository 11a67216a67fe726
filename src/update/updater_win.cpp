#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "app/console.h"
#include "app/errors.h"
#include "app/platform.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "feedback/speech.h"
#include "ui/update_dialog_win.h"
#include "update/http.h"
#include "update/updater.h"

namespace twr {

namespace fs = std::filesystem;

namespace {

void CloseAlgorithm(BCRYPT_ALG_HANDLE h) noexcept { ::BCryptCloseAlgorithmProvider(h, 0); }
void DestroyHash(BCRYPT_HASH_HANDLE h) noexcept { ::BCryptDestroyHash(h); }
using unique_bcrypt_alg = win::unique_any<BCRYPT_ALG_HANDLE, CloseAlgorithm>;
using unique_bcrypt_hash = win::unique_any<BCRYPT_HASH_HANDLE, DestroyHash>;
void CloseFind(HANDLE h) noexcept { ::FindClose(h); }
using unique_find = win::unique_any<HANDLE, CloseFind, -1>;

void CheckStatus(NTSTATUS status, const char* call) {
    if (status < 0) throw PlatformError(std::string(call) + " failed, status " + std::to_string(status), status);
}

std::string Sha256Hex(std::string_view bytes) {
    unique_bcrypt_alg alg;
    CheckStatus(::BCryptOpenAlgorithmProvider(alg.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0),
                "BCryptOpenAlgorithmProvider");
    unique_bcrypt_hash hash;
    CheckStatus(::BCryptCreateHash(alg.get(), hash.put(), nullptr, 0, nullptr, 0, 0), "BCryptCreateHash");
    while (!bytes.empty()) {
        const ULONG chunk = static_cast<ULONG>(std::min<size_t>(bytes.size(), 1u << 30));
        CheckStatus(::BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), chunk, 0),
                    "BCryptHashData");
        bytes.remove_prefix(chunk);
    }
    unsigned char digest[32];
    CheckStatus(::BCryptFinishHash(hash.get(), digest, sizeof digest, 0), "BCryptFinishHash");
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

[[noreturn]] void ThrowFileError(const std::string& what, DWORD err) {
    throw IoError(what + ": " + win::SystemMessage(err), static_cast<int64_t>(err));
}

std::vector<std::string> ListFiles(const fs::path& folder) {
    WIN32_FIND_DATAW data{};
    const fs::path pattern = folder / L"*";
    const unique_find found(
        ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
    if (!found) {
        const DWORD err = ::GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_NO_MORE_FILES) return {};
        ThrowFileError("Could not list '" + platform::PathText(folder) + "'", err);
    }
    std::vector<std::string> names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(win::Narrow(data.cFileName));
    } while (::FindNextFileW(found.get(), &data));
    const DWORD err = ::GetLastError();
    if (err != ERROR_NO_MORE_FILES) ThrowFileError("Could not list '" + platform::PathText(folder) + "'", err);
    return names;
}

void MoveNoReplace(const fs::path& from, const fs::path& to) {
    if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
        ThrowFileError("Could not move '" + platform::PathText(from) + "' to '" + platform::PathText(to) + "'",
                       ::GetLastError());
}

// An inheritable copy of one of this process's standard handles, so that the new process
// writes where this one did (a console, a pipe or a file); empty when there is none.
win::unique_handle InheritableStdHandle(DWORD which) {
    HANDLE h = ::GetStdHandle(which);
    win::unique_handle copy;
    if (h && h != INVALID_HANDLE_VALUE)
        ::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), copy.put(), 0, TRUE,
                          DUPLICATE_SAME_ACCESS);
    return copy;
}

void StartProcess(const fs::path& exe, const std::string& arguments, const fs::path& folder) {
    std::wstring commandLine = L"\"" + exe.wstring() + L"\"";
    if (!arguments.empty()) commandLine += L" " + win::Widen(arguments);
    const win::unique_handle in = InheritableStdHandle(STD_INPUT_HANDLE);
    const win::unique_handle out = InheritableStdHandle(STD_OUTPUT_HANDLE);
    const win::unique_handle err = InheritableStdHandle(STD_ERROR_HANDLE);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.get();
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &si,
                          &pi))
        ThrowFileError("Could not start '" + platform::PathText(exe) + "'", ::GetLastError());
    const win::unique_handle process(pi.hProcess), thread(pi.hThread);
}

void WaitForExit(uint32_t processId, int millis) {
    const win::unique_handle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) win::ThrowLastError("OpenProcess failed");
    ::WaitForSingleObject(process.get(), static_cast<DWORD>(millis));
}

std::string GroupSeparator() {
    wchar_t buf[8] = {};
    if (::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_STHOUSAND, buf, 8) <= 1) return ",";
    return win::Narrow(buf);
}

}  // namespace

Updater::Services Updater::HostServices() {
    Services s;
    s.get = [](const std::string& url, int timeout, uint64_t maxBytes) { return Http::Get(url, timeout, maxBytes); };
    s.sha256 = Sha256Hex;
    s.exePath = [] { return platform::ExePath(); };
    s.fileExists = [](const fs::path& p) { return platform::FileExists(p); };
    s.directoryExists = [](const fs::path& p) { return platform::DirectoryExists(p); };
    s.listFiles = ListFiles;
    s.writeDurable = [](const fs::path& p, std::string_view bytes) { platform::WriteFileDurable(p, bytes); };
    s.readBytes = [](const fs::path& p) { return platform::ReadFileBytes(p); };
    s.move = MoveNoReplace;
    s.deleteFile = [](const fs::path& p) { platform::DeleteFileIfExists(p); };
    s.startProcess = StartProcess;
    s.exitProcess = [](int code) { ::ExitProcess(static_cast<UINT>(code)); };
    s.processId = [] { return static_cast<uint32_t>(::GetCurrentProcessId()); };
    s.waitForExit = WaitForExit;
    s.sleep = [](int ms) { ::Sleep(static_cast<DWORD>(ms)); };
    s.speak = [](std::string_view text) { Speech::SpeakRaw(text); };
    s.messageBox = [](WindowHandle owner, const std::string& text, const std::string& caption, unsigned flags) {
        ::MessageBoxW(static_cast<HWND>(owner), win::Widen(text).c_str(), win::Widen(caption).c_str(), flags);
    };
    s.showDialog = [](WindowHandle owner, const std::string& current, const std::string& tag,
                      const std::string& notes) {
        UpdateDialog dialog(current, tag, notes);
        return static_cast<int>(dialog.ShowModal(static_cast<HWND>(owner)));
    };
    s.writeLine = [](std::string_view line) { Console::WriteLine(line); };
    s.errorLine = [](std::string_view line) { Console::ErrorLine(line); };
    s.groupSeparator = GroupSeparator;
    return s;
}

}  // namespace twr
