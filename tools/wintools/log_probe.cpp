// Test driver: writes diagnostic log lines the way the program does, so the Wine tests can
// check the file's exact form and its rotation on the real platform.
//   log_probe named <thread> <level> <message>   one line from a thread of that name
//   log_probe unnamed <message>                  one line from a thread without a name
//   log_probe path                               prints the log file's path
//   log_probe readall                            prints Log::ReadAll()
#include <string>
#include <thread>
#include <vector>

#include "app/console.h"
#include "app/log.h"
#include "app/platform.h"
#include "app/threads.h"
#include "app/win_error.h"

int main() {
    using namespace twr;
    Console::Attach();
    // The arguments as UTF-8: the narrow argv of a Windows program passes through the ANSI code page.
    const std::vector<std::string> args = win::CommandLineArgs();
    const std::string cmd = args.empty() ? "" : args[0];
    if (cmd == "named" && args.size() == 4) {
        std::thread t([&] {
            SetCurrentThreadName(args[1]);
            Log::Write(args[2], args[3]);
        });
        t.join();
        return 0;
    }
    if (cmd == "unnamed" && args.size() == 2) {
        std::thread t([&] { Log::Info(args[1]); });
        t.join();
        return 0;
    }
    if (cmd == "path") {
        Console::WriteLine(platform::PathText(Log::FilePath()));
        return 0;
    }
    if (cmd == "readall") {
        Console::Write(Log::ReadAll());
        return 0;
    }
    Console::ErrorLine("usage: log_probe named|unnamed|path|readall ...");
    return 2;
}
