#include <windows.h>

#include "app/config.h"
#include "app/console.h"
#include "app/platform.h"
#include "app/program.h"
#include "app/report_config.h"
#include "app/win_raii.h"
#include "recording/wasapi.h"

namespace twr {

int Program::DumpConfig() {
    const ConfigReport report = BuildConfigReport(Config::AppDataDir() / "recorder_config.json", [] {
        // The main thread is a single-threaded apartment already; this only balances itself.
        win::ComScope com(COINIT_APARTMENTTHREADED);
        return Wasapi::EnumerateDevices();
    }, platform::DecimalSeparator());
    for (const std::string& line : report.lines) Console::WriteLine(line);
    return report.exitCode;
}

}  // namespace twr
