// The Windows entry point: the main thread becomes a COM single-threaded apartment before
// anything else runs, then Program::Main decides what this process does.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/program.h"
#include "app/win_error.h"
#include "app/win_raii.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    twr::win::ComScope com(COINIT_APARTMENTTHREADED);
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 1; argv && i < argc; ++i) args.push_back(twr::win::Narrow(argv[i]));
    if (argv) ::LocalFree(argv);
    return twr::Program::Main(args);
}
