#pragma once
// The one place the interface reaches the window manager, the clipboard, DPI awareness and
// the common controls: the platform calls the windows use, and the control utilities every
// dialog uses to fill and read its combo boxes, list boxes and texts. Texts are UTF-8 here and
// cross to the platform as UTF-16. Interface thread only, except PostMessageW.
//
// user32 and comctl32 are linked as usual (they exist on every system we run on); shcore's
// SetProcessDpiAwareness is bound on its first call, so its absence fails only that call.
#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace twr {

class Win32 {
public:
    using DlgProc = INT_PTR(CALLBACK*)(HWND, UINT, WPARAM, LPARAM);
    using WndProc = LRESULT(CALLBACK*)(HWND, UINT, WPARAM, LPARAM);
    using INITCOMMONCONTROLSEX = ::INITCOMMONCONTROLSEX;

    // ---- user32 --------------------------------------------------------------------------
    // Both creating calls clear the thread's last error first, so GetLastError afterwards is
    // the failure of this creation and not something older.
    [[nodiscard]] static HWND CreateDialogIndirectParamW(const std::vector<uint8_t>& dialogTemplate, HWND owner,
                                                         DlgProc proc, LPARAM init = 0);
    static INT_PTR DialogBoxIndirectParamW(const std::vector<uint8_t>& dialogTemplate, HWND owner, DlgProc proc,
                                           LPARAM init = 0);
    static BOOL EndDialog(HWND dialog, INT_PTR result) { return ::EndDialog(dialog, result); }
    [[nodiscard]] static HWND GetDlgItem(HWND dialog, int id) { return ::GetDlgItem(dialog, id); }
    static BOOL SetDlgItemTextW(HWND dialog, int id, std::string_view text);
    static UINT GetDlgItemTextW(HWND dialog, int id, wchar_t* buffer, int capacity) {
        return ::GetDlgItemTextW(dialog, id, buffer, capacity);
    }
    static LRESULT SendMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
        return ::SendMessageW(window, msg, wParam, lParam);
    }
    // lParam as an input text.
    static LRESULT SendMessageString(HWND window, UINT msg, WPARAM wParam, std::string_view text);
    // lParam as a buffer the control fills; the message itself carries its capacity where it needs one.
    static LRESULT SendMessageSb(HWND window, UINT msg, WPARAM wParam, wchar_t* buffer) {
        return ::SendMessageW(window, msg, wParam, reinterpret_cast<LPARAM>(buffer));
    }
    static LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam) {
        return ::SendDlgItemMessageW(dialog, id, msg, wParam, lParam);
    }
    static LRESULT SendDlgItemMessageString(HWND dialog, int id, UINT msg, WPARAM wParam, std::string_view text);
    static BOOL PostMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
        return ::PostMessageW(window, msg, wParam, lParam);
    }
    static BOOL CheckDlgButton(HWND dialog, int id, UINT state) { return ::CheckDlgButton(dialog, id, state); }
    [[nodiscard]] static UINT IsDlgButtonChecked(HWND dialog, int id) { return ::IsDlgButtonChecked(dialog, id); }
    static BOOL EnableWindow(HWND window, bool enable) { return ::EnableWindow(window, enable ? TRUE : FALSE); }
    static BOOL ShowWindow(HWND window, int command) { return ::ShowWindow(window, command); }
    static BOOL DestroyWindow(HWND window) { return ::DestroyWindow(window); }
    static HWND SetFocus(HWND window) { return ::SetFocus(window); }
    [[nodiscard]] static HWND GetFocus() { return ::GetFocus(); }
    [[nodiscard]] static HWND GetForegroundWindow() { return ::GetForegroundWindow(); }
    static BOOL SetForegroundWindow(HWND window) { return ::SetForegroundWindow(window); }
    [[nodiscard]] static bool IsWindow(HWND window) { return window && ::IsWindow(window); }
    static BOOL SetWindowTextW(HWND window, std::string_view text);
    static BOOL IsDialogMessageW(HWND dialog, MSG* msg) { return ::IsDialogMessageW(dialog, msg); }
    static BOOL GetMessageW(MSG* msg, HWND filter, UINT first, UINT last) {
        return ::GetMessageW(msg, filter, first, last);
    }
    static BOOL TranslateMessage(const MSG* msg) { return ::TranslateMessage(msg); }
    static LRESULT DispatchMessageW(const MSG* msg) { return ::DispatchMessageW(msg); }
    static BOOL PeekMessageW(MSG* msg, HWND filter, UINT first, UINT last, UINT remove) {
        return ::PeekMessageW(msg, filter, first, last, remove);
    }
    static void PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }
    static UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT periodMs) { return ::SetTimer(window, id, periodMs, nullptr); }
    static BOOL KillTimer(HWND window, UINT_PTR id) { return ::KillTimer(window, id); }
    static int MessageBoxW(HWND owner, std::string_view text, std::string_view caption, UINT flags);
    static BOOL OpenClipboard(HWND owner) { return ::OpenClipboard(owner); }
    static BOOL EmptyClipboard() { return ::EmptyClipboard(); }
    static HANDLE SetClipboardData(UINT format, HANDLE memory) { return ::SetClipboardData(format, memory); }
    static BOOL CloseClipboard() { return ::CloseClipboard(); }
    [[nodiscard]] static HICON LoadIconW(HINSTANCE instance, LPCWSTR id) { return ::LoadIconW(instance, id); }
    [[nodiscard]] static HWND GetActiveWindow() { return ::GetActiveWindow(); }
    static int GetClassNameW(HWND window, wchar_t* buffer, int capacity) {
        return ::GetClassNameW(window, buffer, capacity);
    }
    [[nodiscard]] static LONG_PTR GetWindowLongPtr(HWND window, int index) { return ::GetWindowLongPtrW(window, index); }
    static LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value) {
        return ::SetWindowLongPtrW(window, index, value);
    }
    [[nodiscard]] static bool IsWindowEnabled(HWND window) { return ::IsWindowEnabled(window) != FALSE; }
    [[nodiscard]] static bool IsWindowVisible(HWND window) { return ::IsWindowVisible(window) != FALSE; }
    static LRESULT CallWindowProc(WNDPROC previous, HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
        return ::CallWindowProcW(previous, window, msg, wParam, lParam);
    }
    static BOOL SetProcessDPIAware() { return ::SetProcessDPIAware(); }

    // ---- comctl32 ------------------------------------------------------------------------
    static BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX& icc) { return ::InitCommonControlsEx(&icc); }

    // ---- shcore (bound on first call; throws PlatformError when shcore or the entry is missing)
    static HRESULT SetProcessDpiAwarenessRaw(int awareness);

    // ---- kernel32 ------------------------------------------------------------------------
    [[nodiscard]] static HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) { return ::GlobalAlloc(flags, bytes); }
    [[nodiscard]] static void* GlobalLock(HGLOBAL memory) { return ::GlobalLock(memory); }
    static BOOL GlobalUnlock(HGLOBAL memory) { return ::GlobalUnlock(memory); }
    [[nodiscard]] static DWORD GetLastError() { return ::GetLastError(); }

    // ---- control utilities (they report nothing: a missing control reads as "") ----------
    // Per-monitor DPI awareness, else system awareness; never fails.
    static void EnableDpiAwareness() noexcept;
    // Standard classes and the list view (0x4001); never fails.
    static void InitCommonControls() noexcept;
    [[nodiscard]] static std::string GetDlgItemText(HWND dialog, int id);
    // The text as CF_UNICODETEXT; the clipboard is left empty when the hand-over fails.
    static void SetClipboardText(HWND owner, std::string_view text);
    static int ComboAdd(HWND dialog, int id, std::string_view text, int32_t data);
    // index -1 appends.
    static int ComboInsert(HWND dialog, int id, int index, std::string_view text, int32_t data);
    // The selected item's data, -1 with no selection.
    [[nodiscard]] static int32_t ComboGetData(HWND dialog, int id);
    [[nodiscard]] static std::string ComboGetText(HWND dialog, int id);
    // The first item equal to the text (case-sensitive), else item 0; nothing on an empty box.
    static void ComboSelectByText(HWND dialog, int id, std::string_view text);
    static void ListSetLines(HWND dialog, int id, std::string_view text);
    [[nodiscard]] static std::string ListGetLine(HWND dialog, int id, int index);
    [[nodiscard]] static std::string ListGetAll(HWND dialog, int id);
};

}  // namespace twr
