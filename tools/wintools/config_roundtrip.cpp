// Test driver: loads the per-user settings the way the program does, optionally stores one
// number with Config::Set, and saves. Lets the Wine tests check what a load and a save do to
// the user's file on the real platform.
//   config_roundtrip [key value]
#include <string>

#include "app/config.h"
#include "app/console.h"
#include "app/errors.h"
#include "app/win_error.h"

int main() {
    using namespace twr;
    Console::Attach();
    auto args = win::CommandLineArgs();
    try {
        Config config;
        if (args.size() == 2) config.Set(args[0], std::stoi(args[1]));
        config.Save();
    } catch (const std::exception& e) {
        Console::ErrorLine(FullText(e));
        return 1;
    }
    return 0;
}
