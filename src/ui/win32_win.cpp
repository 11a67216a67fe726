#include "ui/win32_win.h"

#include <algorithm>
#include <cwchar>

#include "app/errors.h"
#include "app/win_error.h"
#include "ui/control_text.h"
#include "ui/dpi_awareness.h"

namespace twr {

namespace {

std::wstring W(std::string_view text) { return win::Widen(text); }

// A control's text of known length: length + 2 characters leave room for the terminator
// even when the control counts one unit less than it copies.
template <typename Fill>
std::string ReadText(LRESULT length, Fill fill) {
    if (length <= 0) return {};
    std::wstring buffer(static_cast<size_t>(length) + 2, L'\0');
    fill(buffer.data(), static_cast<int>(buffer.size()));
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
    return win::Narrow(buffer);
}

}  // namespace

HWND Win32::CreateDialogIndirectParamW(const std::vector<uint8_t>& dialogTemplate, HWND owner, DlgProc proc,
                                       LPARAM init) {
    ::SetLastError(0);
    return ::CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(dialogTemplate.data()), owner, proc,
                                        init);
}

INT_PTR Win32::DialogBoxIndirectParamW(const std::vector<uint8_t>& dialogTemplate, HWND owner, DlgProc proc,
                                       LPARAM init) {
    ::SetLastError(0);
    return ::DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(dialogTemplate.data()), owner, proc,
                                     init);
}

BOOL Win32::SetDlgItemTextW(HWND dialog, int id, std::string_view text) {
    return ::SetDlgItemTextW(dialog, id, W(text).c_str());
}

LRESULT Win32::SendMessageString(HWND window, UINT msg, WPARAM wParam, std::string_view text) {
    const std::wstring wide = W(text);
    return ::SendMessageW(window, msg, wParam, reinterpret_cast<LPARAM>(wide.c_str()));
}

LRESULT Win32::SendDlgItemMessageString(HWND dialog, int id, UINT msg, WPARAM wParam, std::string_view text) {
    const std::wstring wide = W(text);
    return ::SendDlgItemMessageW(dialog, id, msg, wParam, reinterpret_cast<LPARAM>(wide.c_str()));
}

BOOL Win32::SetWindowTextW(HWND window, std::string_view text) { return ::SetWindowTextW(window, W(text).c_str()); }

int Win32::MessageBoxW(HWND owner, std::string_view text, std::string_view caption, UINT flags) {
    return ::MessageBoxW(owner, W(text).c_str(), W(caption).c_str(), flags);
}

HRESULT Win32::SetProcessDpiAwarenessRaw(int awareness) {
    using Fn = HRESULT(WINAPI*)(int);
    // Bound once; the library stays loaded for the life of the process.
    static const Fn fn = [] {
        HMODULE shcore = ::LoadLibraryW(L"shcore.dll");
        return shcore ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(shcore, "SetProcessDpiAwareness")))
                      : nullptr;
    }();
    if (!fn) throw PlatformError("SetProcessDpiAwareness is not available");
    return fn(awareness);
}

void Win32::EnableDpiAwareness() noexcept {
    DpiAwareness::Enable([](int awareness) { return static_cast<int32_t>(SetProcessDpiAwarenessRaw(awareness)); },
                         [] { SetProcessDPIAware(); });
}

void Win32::InitCommonControls() noexcept {
    // ICC_STANDARD_CLASSES (0x4000) with ICC_LISTVIEW_CLASSES (0x1).
    const INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), 0x4001};
    InitCommonControlsEx(icc);
}

std::string Win32::GetDlgItemText(HWND dialog, int id) {
    HWND control = ::GetDlgItem(dialog, id);
    if (!control) return {};
    return ReadText(::SendMessageW(control, WM_GETTEXTLENGTH, 0, 0),
                    [&](wchar_t* buffer, int capacity) { ::GetDlgItemTextW(dialog, id, buffer, capacity); });
}

void Win32::SetClipboardText(HWND owner, std::string_view text) {
    if (!::OpenClipboard(owner)) return;
    struct Closer {
        ~Closer() { ::CloseClipboard(); }
    } closer;
    ::EmptyClipboard();
    const std::wstring wide = W(text);
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, (wide.size() + 1) * sizeof(wchar_t));
    if (!memory) return;
    void* target = ::GlobalLock(memory);
    if (!target) {
        ::GlobalFree(memory);
        return;
    }
    std::copy(wide.c_str(), wide.c_str() + wide.size() + 1, static_cast<wchar_t*>(target));
    ::GlobalUnlock(memory);
    // Once accepted the memory belongs to the clipboard; a refusal leaves it with us.
    if (!::SetClipboardData(CF_UNICODETEXT, memory)) ::GlobalFree(memory);
}

namespace {

int StoreItemData(HWND dialog, int id, LRESULT index, int32_t data) {
    // Sign-extended, so -1 reads back as -1 on a 64-bit system.
    ::SendDlgItemMessageW(dialog, id, CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(data));
    return static_cast<int>(index);
}

}  // namespace

int Win32::ComboAdd(HWND dialog, int id, std::string_view text, int32_t data) {
    return StoreItemData(dialog, id, SendDlgItemMessageString(dialog, id, CB_ADDSTRING, 0, text), data);
}

int Win32::ComboInsert(HWND dialog, int id, int index, std::string_view text, int32_t data) {
    return StoreItemData(
        dialog, id, SendDlgItemMessageString(dialog, id, CB_INSERTSTRING, static_cast<WPARAM>(index), text), data);
}

int32_t Win32::ComboGetData(HWND dialog, int id) {
    const auto selection = ::SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0);
    if (selection < 0) return -1;
    return static_cast<int32_t>(::SendDlgItemMessageW(dialog, id, CB_GETITEMDATA, static_cast<WPARAM>(selection), 0));
}

namespace {

std::string ComboItemText(HWND dialog, int id, LRESULT index) {
    return ReadText(::SendDlgItemMessageW(dialog, id, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0),
                    [&](wchar_t* buffer, int) {
                        ::SendDlgItemMessageW(dialog, id, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                              reinterpret_cast<LPARAM>(buffer));
                    });
}

}  // namespace

std::string Win32::ComboGetText(HWND dialog, int id) {
    const auto selection = ::SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0);
    if (selection < 0) return {};
    return ComboItemText(dialog, id, selection);
}

void Win32::ComboSelectByText(HWND dialog, int id, std::string_view text) {
    const auto count = ::SendDlgItemMessageW(dialog, id, CB_GETCOUNT, 0, 0);
    std::vector<std::string> items;
    for (LRESULT i = 0; i < count; ++i) items.push_back(ComboItemText(dialog, id, i));
    const int32_t index = ControlText::SelectIndex(items, text);
    if (index >= 0) ::SendDlgItemMessageW(dialog, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void Win32::ListSetLines(HWND dialog, int id, std::string_view text) {
    HWND list = ::GetDlgItem(dialog, id);
    if (!list) return;
    ::SendMessageW(list, LB_RESETCONTENT, 0, 0);
    if (text.empty()) return;
    const std::vector<std::string> lines = ControlText::SplitListLines(text);
    for (const auto& line : lines) SendMessageString(list, LB_ADDSTRING, 0, line);
    ::SendMessageW(list, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(ControlText::ListExtent(lines)), 0);
}

std::string Win32::ListGetLine(HWND dialog, int id, int index) {
    HWND list = ::GetDlgItem(dialog, id);
    if (!list) return {};
    return ReadText(::SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0), [&](wchar_t* buffer, int) {
        ::SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer));
    });
}

std::string Win32::ListGetAll(HWND dialog, int id) {
    const auto count = ::SendDlgItemMessageW(dialog, id, LB_GETCOUNT, 0, 0);
    std::vector<std::string> lines;
    for (LRESULT i = 0; i < count; ++i) lines.push_back(ListGetLine(dialog, id, static_cast<int>(i)));
    return ControlText::JoinLines(lines);
}

}  // namespace twr
