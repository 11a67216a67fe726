#include "app/console.h"
#include "app/device_report.h"
#include "app/errors.h"
#include "app/program.h"
#include "app/win_raii.h"

namespace twr {

int Program::ListDevices() {
    // The main thread is an apartment already; asking again only keeps the count balanced.
    win::ComScope com(COINIT_APARTMENTTHREADED);
    try {
        for (const auto& entry : DeviceReport::Entries(Wasapi::EnumerateDevices())) Console::WriteLine(entry);
        return 0;
    } catch (const std::exception& e) {
        Console::ErrorLine("Device enumeration failed: " + FullText(e));
    } catch (...) {
        Console::ErrorLine("Device enumeration failed: unknown exception");
    }
    return 1;
}

}  // namespace twr
