// Test driver: writes diagnostic log lines the way the program does, so the Wine tests can
// check the file's exact form and its rotation on the real platform.
//   log_probe named <thread> <level> <message>   one line from a thread of that name
//   log_probe unnamed <message>                  one line from a thread without a name
//   log_probe path                               prints the log file's path
//   log_probe readall                            prints Log::ReadAll()
#include <cstdio>
#include <string>
#include <thread>

#include "app/console.h"
#include "app/log.h"
#include "app/platform.h"
#include "app/threads.h"
#include "app/win_error.h"

int main() {
    using namespace twr;
    Console::Attach();
    // The arguments as UTF-8: the narrow argv of a Windows program passes through the ANSI code page.
    std::vector<std::string> args = win::CommandLineArgs();
    args.insert(args.begin(), "log_probe");
    int argc = static_cast<int>(args.size());
    auto argv = [&](int i) -> const std::string& { return args[static_cast<size_t>(i)]; };
    std::string cmd = argc > 1 ? argv(1) : "";
    if (cmd == "named" && argc == 5) {
        std::string thread = argv(2), level = argv(3), message = argv(4);
        std::thread t([&] {
            SetCurrentThreadName(thread);
            Log::Write(level, message);
        });
        t.join();
        return 0;
    }
    if (cmd == "unnamed" && argc == 3) {
        std::string message = argv(2);
        std::thread t([&] { Log::Info(message); });
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
