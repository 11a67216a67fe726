#include "ui/spin_edit_win.h"

#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include "app/program.h"
#include "app/win_error.h"
#include "feedback/speech.h"
#include "ui/win32_win.h"

namespace twr {

namespace {

std::mutex& KeepAliveLock() {
    static std::mutex lock;
    return lock;
}

std::vector<std::unique_ptr<SpinEdit>>& KeepAlive() {
    static auto* list = new std::vector<std::unique_ptr<SpinEdit>>();  // never destroyed either
    return *list;
}

}  // namespace

SpinEdit::SpinEdit(HWND edit, int32_t min, int32_t max, int32_t step, Format format, Parse parse)
    : format_(std::move(format)), parse_(std::move(parse)), edit_(edit), min_(min), step_(step), max_(max) {}

SpinEdit& SpinEdit::Create(HWND dialog, int editId, int32_t min, int32_t max, int32_t step, Format format,
                           Parse parse) {
    auto field = std::unique_ptr<SpinEdit>(
        new SpinEdit(Win32::GetDlgItem(dialog, editId), min, max, step, std::move(format), std::move(parse)));
    SpinEdit& self = *field;
    {
        const std::lock_guard<std::mutex> guard(KeepAliveLock());
        KeepAlive().push_back(std::move(field));
    }
    if (!self.edit_) return self;
    // The instance rides in the edit's user slot, which an edit control leaves to its owner.
    const auto* earlier = reinterpret_cast<const SpinEdit*>(Win32::GetWindowLongPtr(self.edit_, GWLP_USERDATA));
    if (reinterpret_cast<WNDPROC>(Win32::GetWindowLongPtr(self.edit_, GWLP_WNDPROC)) == &EditProc && earlier) {
        // A second field on the same edit takes over from the first; chaining to EditProc
        // again would call itself for ever.
        self.previousProc_ = earlier->previousProc_;
        Win32::SetWindowLongPtr(self.edit_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&self));
        return self;
    }
    Win32::SetWindowLongPtr(self.edit_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&self));
    self.previousProc_ = reinterpret_cast<WNDPROC>(
        Win32::SetWindowLongPtr(self.edit_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&EditProc)));
    return self;
}

size_t SpinEdit::LiveCount() {
    const std::lock_guard<std::mutex> guard(KeepAliveLock());
    return KeepAlive().size();
}

std::string SpinEdit::GetText() const {
    const auto length = Win32::SendMessageW(edit_, WM_GETTEXTLENGTH, 0, 0);
    if (length <= 0) return {};
    std::wstring buffer(static_cast<size_t>(length) + 2, L'\0');
    Win32::SendMessageSb(edit_, WM_GETTEXT, buffer.size(), buffer.data());
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
    return win::Narrow(buffer);
}

int32_t SpinEdit::Value() const { return SpinRules::Clamp(parse_(GetText()), min_, max_); }

void SpinEdit::SetValue(int32_t value) { Win32::SetWindowTextW(edit_, format_(SpinRules::Clamp(value, min_, max_))); }

LRESULT CALLBACK SpinEdit::EditProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) noexcept {
    try {
        auto* self = reinterpret_cast<SpinEdit*>(Win32::GetWindowLongPtr(window, GWLP_USERDATA));
        if (!self) return ::DefWindowProcW(window, msg, wParam, lParam);
        return self->Handle(window, msg, wParam, lParam);
    } catch (...) {
        Program::FatalExit(std::current_exception());
    }
}

LRESULT SpinEdit::Handle(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_KEYDOWN) {
        const auto next = SpinRules::KeyValue(static_cast<uint32_t>(wParam), Value(), min_, max_, step_);
        if (next) {
            SetValue(*next);
            Win32::SendMessageW(edit_, EM_SETSEL, static_cast<WPARAM>(-1), -1);
            // Spoken also when nothing changed (Up at the maximum): silence would leave the
            // user guessing whether the key arrived.
            Speech::SpeakRaw(format_(*next));
            return 0;
        }
    } else if (msg == WM_KILLFOCUS) {
        SetValue(Value());
    }
    return Win32::CallWindowProc(previousProc_, window, msg, wParam, lParam);
}

DurationField::DurationField(HWND dialog, int editId, int comboId, int32_t maxSeconds)
    : spin_(nullptr), dialog_(dialog), editId_(editId), comboId_(comboId), maxSeconds_(maxSeconds) {
    for (const char* name : DurationRules::kUnitNames) Win32::ComboAdd(dialog, comboId, name, 0);
    Win32::SendDlgItemMessageW(dialog, comboId, CB_SETCURSEL, 0, 0);
    // The field outlives this object (it stays in the list); the format reads the unit from
    // the controls, so it holds nothing that could dangle.
    spin_ = &SpinEdit::Create(
        dialog, editId, 0, maxSeconds, 1,
        [dialog, comboId](int32_t n) {
            const int unit = DurationRules::UnitIndex(Win32::SendDlgItemMessageW(dialog, comboId, CB_GETCURSEL, 0, 0));
            return DurationRules::FormatValue(n, unit);
        },
        &DurationRules::ParseLeadingInt);
}

int DurationField::UnitIndex() const {
    return DurationRules::UnitIndex(Win32::SendDlgItemMessageW(dialog_, comboId_, CB_GETCURSEL, 0, 0));
}

std::string DurationField::CurrentUnitName(int64_t n) const { return DurationRules::UnitName(UnitIndex(), n); }

std::string DurationField::FormatValue(int64_t n) const { return DurationRules::FormatValue(n, UnitIndex()); }

int32_t DurationField::TotalSeconds() const {
    return DurationRules::TotalSeconds(Win32::GetDlgItemText(dialog_, editId_), UnitIndex(), maxSeconds_);
}

void DurationField::SetTotalSeconds(int32_t seconds) {
    const auto parts = Decompose(SpinRules::Clamp(seconds, 0, maxSeconds_));
    Win32::SendDlgItemMessageW(dialog_, comboId_, CB_SETCURSEL, static_cast<WPARAM>(parts.unit), 0);
    UpdateMax();
    Win32::SetDlgItemTextW(dialog_, editId_, FormatValue(parts.value));
}

void DurationField::UpdateMax() { spin_->SetMax(DurationRules::SpinMax(maxSeconds_, UnitIndex())); }

bool DurationField::HandleCommand(int id, int code) {
    if (id != comboId_ || code != CBN_SELCHANGE) return false;
    UpdateMax();
    const int32_t n =
        SpinRules::Clamp(ParseLeadingInt(Win32::GetDlgItemText(dialog_, editId_)), 0, spin_->Max());
    Win32::SetDlgItemTextW(dialog_, editId_, FormatValue(n));
    return true;
}

}  // namespace twr
