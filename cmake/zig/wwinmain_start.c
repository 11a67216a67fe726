// The start the -municode runtime of GCC's mingw-w64 gives: its C runtime calls main, and a
// Unicode GUI program's main hands over to wWinMain. zig's runtime only has the narrow WinMain one.
#include <windows.h>

int main(void) {
    // The command line after the program's name, as the runtime would pass it.
    wchar_t* line = GetCommandLineW();
    int quoted = 0;
    while (*line && (quoted || (*line != L' ' && *line != L'\t'))) {
        if (*line == L'"') quoted = !quoted;
        ++line;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    STARTUPINFOW info;
    GetStartupInfoW(&info);
    const int show = (info.dwFlags & STARTF_USESHOWWINDOW) ? info.wShowWindow : SW_SHOWDEFAULT;
    return wWinMain(GetModuleHandleW(NULL), NULL, line, show);
}
