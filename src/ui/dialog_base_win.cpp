#include "ui/dialog_base_win.h"

#include <exception>
#include <string>
#include <utility>

#include "app/errors.h"
#include "app/program.h"
#include "ui/win32_win.h"

namespace twr {

namespace {

// The dialog being created on this thread, until its first message claims it. The dialog
// manager sends WM_SETFONT before WM_INITDIALOG (so the creation parameter arrives too late),
// and a dialog opened from another's OnInit nests, hence the save and restore.
thread_local DialogBase* pending = nullptr;

class PendingScope {
public:
    explicit PendingScope(DialogBase* dialog) noexcept : previous_(pending) { pending = dialog; }
    ~PendingScope() { pending = previous_; }
    PendingScope(const PendingScope&) = delete;
    PendingScope& operator=(const PendingScope&) = delete;

private:
    DialogBase* previous_;
};

}  // namespace

DialogBase::~DialogBase() {
    // A window that outlives its object must not call into freed memory. Only a modeless
    // window can: a modal one ends inside ShowModal.
    if (Win32::IsWindow(handle_) &&
        Win32::GetWindowLongPtr(handle_, DWLP_USER) == reinterpret_cast<LONG_PTR>(this)) {
        Win32::SetWindowLongPtr(handle_, DWLP_USER, 0);
        if (modeless_) Win32::DestroyWindow(handle_);
    }
}

INT_PTR CALLBACK DialogBase::Thunk(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) noexcept {
    try {
        auto* self = reinterpret_cast<DialogBase*>(Win32::GetWindowLongPtr(window, DWLP_USER));
        if (!self && pending) {
            self = std::exchange(pending, nullptr);
            Win32::SetWindowLongPtr(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        }
        if (!self) return 0;
        return self->DialogProc(window, msg, wParam, lParam);
    } catch (...) {
        Program::FatalExit(std::current_exception());
    }
}

INT_PTR DialogBase::DialogProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    handle_ = window;
    switch (msg) {
        case WM_DESTROY:
            OnDestroy();
            return 0;
        case WM_INITDIALOG:
            OnInit();
            return 1;  // the dialog manager then focuses the first tab stop
        case WM_COMMAND:
            return OnCommand(LOWORD(wParam), HIWORD(wParam)) ? 1 : 0;
        default: {
            INT_PTR result = 0;
            return OnMessage(msg, wParam, lParam, result) ? result : 0;
        }
    }
}

bool DialogBase::OnMessage(UINT, WPARAM, LPARAM, INT_PTR& result) {
    result = 0;
    return false;
}

INT_PTR DialogBase::ShowModal(HWND owner) {
    endResult_.reset();
    // Each call builds afresh, so the template shows the state of this moment.
    const std::vector<uint8_t> dialogTemplate = BuildTemplate();
    PendingScope scope(this);
    return Win32::DialogBoxIndirectParamW(dialogTemplate, owner, &Thunk);
}

HWND DialogBase::CreateModeless(HWND owner) {
    endResult_.reset();
    const std::vector<uint8_t> dialogTemplate = BuildTemplate();
    HWND window;
    DWORD error;
    {
        PendingScope scope(this);
        window = Win32::CreateDialogIndirectParamW(dialogTemplate, owner, &Thunk);
        error = Win32::GetLastError();
    }
    handle_ = window;
    if (!window) throw InvalidOperation("CreateDialogIndirectParam failed, error " + std::to_string(error));
    modeless_ = true;
    return window;
}

void DialogBase::End(INT_PTR result) {
    endResult_ = result;
    Win32::EndDialog(handle_, result);
}

void DialogBase::Text(int id, std::string_view text) { Win32::SetDlgItemTextW(handle_, id, text); }

void DialogBase::Enable(int id, bool enabled) { Win32::EnableWindow(Win32::GetDlgItem(handle_, id), enabled); }

void DialogBase::Critical(std::string_view text, std::string_view caption) {
    Win32::MessageBoxW(handle_, text, caption, MB_ICONERROR | MB_OK);
}

}  // namespace twr
