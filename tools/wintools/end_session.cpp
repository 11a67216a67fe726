// Test driver: asks a window whether the Windows session may end, as the system does at log-off,
// and prints the answer and how long the window took to give it.
//   end_session <hwnd>     prints "answer <n> ms <t>"; exit 0, or 1 when the message failed
#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/win_error.h"

int main() {
    using namespace twr;
    Console::Attach();
    const std::vector<std::string> args = win::CommandLineArgs();
    if (args.size() != 1) {
        Console::ErrorLine("usage: end_session <hwnd>");
        return 2;
    }
    HWND window = reinterpret_cast<HWND>(static_cast<INT_PTR>(std::stoll(args[0])));
    DWORD_PTR answer = 0;
    const auto start = std::chrono::steady_clock::now();
    const LRESULT sent =
        ::SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK, 60000, &answer);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (!sent) {
        Console::ErrorLine("SendMessageTimeout failed, error " + std::to_string(::GetLastError()));
        return 1;
    }
    Console::WriteLine("answer " + std::to_string(answer) + " ms " + std::to_string(ms));
    return 0;
}
