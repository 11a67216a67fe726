// The Windows entry point: the main thread becomes a COM single-threaded apartment before
// anything else runs, then Program::Main decides what this process does.
#include <windows.h>

#include "app/program.h"
#include "app/win_error.h"
#include "app/win_raii.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    twr::win::ComScope com(COINIT_APARTMENTTHREADED);
    return twr::Program::Main(twr::win::CommandLineArgs());
}
