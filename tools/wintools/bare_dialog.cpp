// Timing reference: the least a Win32 program does to show a window, an empty dialog from an
// in-memory template with its own message loop, so the tests can set the main window's start-up
// time beside it. Closing the dialog (Escape, Alt+F4) ends the program with exit code 0.
#include <windows.h>

#include <vector>

namespace {

INT_PTR CALLBACK BareProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM) {
    if (msg == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        ::DestroyWindow(dlg);
        return TRUE;
    }
    if (msg == WM_DESTROY) ::PostQuitMessage(0);
    return FALSE;
}

}  // namespace

int main() {
    // The same frame as the main window's: a centred captioned popup, 8-point dialog font.
    std::vector<WORD> t;
    auto dword = [&t](DWORD v) {
        t.push_back(LOWORD(v));
        t.push_back(HIWORD(v));
    };
    auto sz = [&t](const wchar_t* s) {
        for (; *s; ++s) t.push_back(*s);
        t.push_back(0);
    };
    dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_CENTER | DS_SETFONT);
    dword(WS_EX_CONTROLPARENT | WS_EX_APPWINDOW);
    t.push_back(0);  // no controls
    for (short v : {short(0), short(0), short(270), short(140)}) t.push_back(static_cast<WORD>(v));
    t.push_back(0);  // no menu
    t.push_back(0);  // the dialog class
    sz(L"Bare Dialog");
    t.push_back(8);
    sz(L"MS Shell Dlg");
    const HWND dlg =
        ::CreateDialogIndirectParamW(nullptr, reinterpret_cast<const DLGTEMPLATE*>(t.data()), nullptr, BareProc, 0);
    if (!dlg) return 1;
    ::ShowWindow(dlg, SW_SHOW);
    MSG m;
    while (::GetMessageW(&m, nullptr, 0, 0) > 0) {
        if (!::IsDialogMessageW(dlg, &m)) {
            ::TranslateMessage(&m);
            ::DispatchMessageW(&m);
        }
    }
    return 0;
}
