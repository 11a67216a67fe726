// Test driver: holds or releases one named thread of another process, so a Wine test can keep an
// input reader from taking the packets Wine has already queued while its capture stream dies
// underneath (the only way found to make Wine's capture client report a failure; see
// docs/architecture.md).
//   thread_hold <pid or exe name> <thread name> suspend|resume
// Prints "<suspend|resume> <thread id> count <previous suspend count>"; exit 0. No such process
// (or two of that exe name) or no thread of that name: a line on standard error, exit 1; a refused
// call: exit 2.
#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "app/console.h"
#include "app/win_error.h"
#include "app/win_raii.h"

namespace {

using twr::win::unique_handle;
using twr::win::unique_hfile;

// Bound at run time, as the program does: the export is missing from older systems.
std::wstring DescriptionOf(HANDLE thread) {
    using Fn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    static Fn fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    PWSTR text = nullptr;
    if (!fn || FAILED(fn(thread, &text)) || !text) return {};
    std::wstring out = text;
    ::LocalFree(text);
    return out;
}

// The one process whose id is `which`, or whose exe name is `which` (any case); 0 when none or
// more than one.
DWORD ProcessOf(const std::string& which) {
    if (!which.empty() && which.find_first_not_of("0123456789") == std::string::npos)
        return static_cast<DWORD>(std::stoul(which));
    unique_hfile snap(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap) return 0;
    const std::wstring want = twr::win::Widen(which);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    int count = 0;
    for (BOOL more = ::Process32FirstW(snap.get(), &entry); more; more = ::Process32NextW(snap.get(), &entry)) {
        if (::lstrcmpiW(entry.szExeFile, want.c_str()) == 0) {
            found = entry.th32ProcessID;
            ++count;
        }
    }
    return count == 1 ? found : 0;
}

}  // namespace

int main() {
    using namespace twr;
    Console::Attach();
    const std::vector<std::string> args = win::CommandLineArgs();
    if (args.size() != 3 || (args[2] != "suspend" && args[2] != "resume")) {
        Console::ErrorLine("usage: thread_hold <pid or exe name> <thread name> suspend|resume");
        return 64;
    }
    const DWORD pid = ProcessOf(args[0]);
    if (pid == 0) {
        Console::ErrorLine("no single process " + args[0]);
        return 1;
    }
    const std::wstring name = win::Widen(args[1]);
    unique_hfile snap(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snap) {
        Console::ErrorLine("CreateToolhelp32Snapshot failed, error " + std::to_string(::GetLastError()));
        return 2;
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snap.get(), &entry); more; more = ::Thread32Next(snap.get(), &entry)) {
        if (entry.th32OwnerProcessID != pid) continue;
        unique_handle thread(
            ::OpenThread(THREAD_SUSPEND_RESUME | THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID));
        if (!thread || DescriptionOf(thread.get()) != name) continue;
        const DWORD before =
            args[2] == "suspend" ? ::SuspendThread(thread.get()) : ::ResumeThread(thread.get());
        if (before == static_cast<DWORD>(-1)) {
            Console::ErrorLine(args[2] + " failed, error " + std::to_string(::GetLastError()));
            return 2;
        }
        Console::WriteLine(args[2] + " " + std::to_string(entry.th32ThreadID) + " count " + std::to_string(before));
        return 0;
    }
    Console::ErrorLine("no thread " + args[1] + " in " + args[0]);
    return 1;
}
