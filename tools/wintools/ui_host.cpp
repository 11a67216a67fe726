// Test host: shows one interface dialog by name, modal or modeless, so the Wine tests can meet it
// with the keyboard as a user does. Standard output, one line each, CR LF:
//   OPEN <hwnd>            the dialog is on screen (hwnd in decimal); keys may be sent now
//   RESULT <code> [...]    the dialog closed; code is what it ended with (fields below)
//   ERROR <text>           it could not be shown; exit code 1
//
//   ui_host confirm [--modeless] [--title T] [--message M] [--accept A] [--reject R]
//       ConfirmDialog. RESULT 1 for the accept button, 0 for reject, Escape or the close box.
//   ui_host fields [--modeless] [--volume N] [--seconds N] [--max-seconds N]
//       "Field Test": label "&Volume:" + SpinEdit 201 (1..100 percent, step 1), label "&Length:"
//       + DurationField (edit 202, unit list 203), "OK" (IDOK, default), "Cancel" (IDCANCEL).
//       RESULT <1|0> volume=<n> seconds=<n> unit=<0|1|2>, the values as they were at closing.
//       Spoken values go to the stand-in controller client (TWR_STANDIN_LOG).
//   ui_host folder [--title T] [--initial DIR]
//       FolderPicker::Pick. RESULT 1 <path>, or RESULT 0 when cancelled or failed.
//   ui_host throw [--modeless] [--nonstd]
//       "Throw Test" with a default button "&Throw" (301) whose command throws (a non-std
//       exception with --nonstd): the fatal box "Tapewright" appears, exit code 1.
//   ui_host broken [--modeless]
//       A template whose control class does not exist: modal gives RESULT -1 (or 0), modeless
//       ERROR CreateDialogIndirectParam failed, error <n>.
//   ui_host utilities
//       Runs the control utilities against a hidden modeless dialog and the clipboard, printing
//       CHECK <name>=<value> lines (line feeds in values shown as '|'), then RESULT 0.
//
// --speech-dll PATH names the controller client to load; by default the stand-in built beside
// this executable (tools/nvda_standin/nvdaControllerClient_standin.dll).
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/errors.h"
#include "app/platform.h"
#include "app/text_formats.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "feedback/speech.h"
#include "ui/confirm_dialog_win.h"
#include "ui/dialog_builder.h"
#include "ui/dialog_base_win.h"
#include "ui/folder_picker_win.h"
#include "ui/spin_edit_win.h"
#include "ui/win32_win.h"

namespace {

using namespace twr;

struct Args {
    std::string what;
    bool modeless = false;
    bool nonStd = false;
    std::map<std::string, std::string> values;

    std::string Get(const std::string& key, const std::string& fallback) const {
        auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
    int GetInt(const std::string& key, int fallback) const {
        auto it = values.find(key);
        return it == values.end() ? fallback : std::stoi(it->second);
    }
};

Args ParseArgs(const std::vector<std::string>& raw) {
    Args a;
    for (size_t i = 0; i < raw.size(); ++i) {
        const std::string& s = raw[i];
        if (s == "--modeless") {
            a.modeless = true;
        } else if (s == "--nonstd") {
            a.nonStd = true;
        } else if (s.rfind("--", 0) == 0 && i + 1 < raw.size()) {
            a.values[s.substr(2)] = raw[++i];
        } else if (a.what.empty()) {
            a.what = s;
        } else {
            throw InvalidArgument("unexpected argument " + s);
        }
    }
    return a;
}

class FieldsDialog final : public DialogBase {
public:
    FieldsDialog(int volume, int seconds, int maxSeconds) : volume_(volume), seconds_(seconds), max_(maxSeconds) {}
    std::string summary;

    std::vector<uint8_t> BuildTemplate() override {
        DialogBuilder b("Field Test", 220, 80, DialogBuilder::kDialogStyle, DialogBuilder::kExControlParent);
        b.Add(DialogBuilder::kLabel, 10, 12, 60, 9, -1, "&Volume:");
        b.Add(DialogBuilder::kEditBox, 75, 10, 60, 13, 201, "");
        b.Add(DialogBuilder::kLabel, 10, 32, 60, 9, -1, "&Length:");
        b.Add(DialogBuilder::kEditBox, 75, 30, 46, 13, 202, "");
        b.Add(DialogBuilder::kDropDownList, 125, 30, 78, 90, 203, "");
        b.Add(DialogBuilder::kDefPushButton, 75, 55, 60, 16, IDOK, "OK");
        b.Add(DialogBuilder::kPushButton, 143, 55, 60, 16, IDCANCEL, "Cancel");
        return b.Build();
    }

protected:
    void OnInit() override {
        volume = &SpinEdit::Create(Handle(), 201, 1, 100, 1, &PercentText::Format,
                                   [this](std::string_view text) { return PercentText::Parse(text, volume_); });
        volume->SetValue(volume_);
        duration.emplace(Handle(), 202, 203, max_);
        duration->SetTotalSeconds(seconds_);
    }

    bool OnCommand(int id, int code) override {
        if (duration && duration->HandleCommand(id, code)) return true;
        if (id != IDOK && id != IDCANCEL) return false;
        summary = "volume=" + std::to_string(volume->Value()) + " seconds=" + std::to_string(duration->TotalSeconds()) +
                  " unit=" + std::to_string(duration->UnitIndex());
        End(id == IDOK ? 1 : 0);
        return true;
    }

private:
    int volume_, seconds_, max_;
    SpinEdit* volume = nullptr;
    std::optional<DurationField> duration;
};

class ThrowDialog final : public DialogBase {
public:
    explicit ThrowDialog(bool nonStd) : nonStd_(nonStd) {}

    std::vector<uint8_t> BuildTemplate() override {
        DialogBuilder b("Throw Test", 160, 50, DialogBuilder::kDialogStyle, DialogBuilder::kExControlParent);
        b.Add(DialogBuilder::kDefPushButton, 10, 15, 60, 16, 301, "&Throw");
        return b.Build();
    }

protected:
    void OnInit() override {}
    bool OnCommand(int id, int) override {
        if (id == IDCANCEL) {
            End(0);
            return true;
        }
        if (id != 301) return false;
        if (nonStd_) throw 42;
        throw InvalidOperation("Test failure from a dialog command");
    }

private:
    bool nonStd_;
};

class BrokenDialog final : public DialogBase {
public:
    std::vector<uint8_t> BuildTemplate() override {
        DialogBuilder b("Broken Test", 160, 50, DialogBuilder::kDialogStyle, DialogBuilder::kExControlParent);
        b.AddItem(0x10000, 0, 10, 15, 60, 16, 401, 0x0099, "no such class");
        return b.Build();
    }

protected:
    void OnInit() override {}
    bool OnCommand(int, int) override { return false; }
};

class UtilitiesDialog final : public DialogBase {
public:
    std::vector<uint8_t> BuildTemplate() override {
        DialogBuilder b("Utilities Test", 200, 120, DialogBuilder::kDialogStyle, DialogBuilder::kExControlParent);
        b.Add(DialogBuilder::kMainList, 10, 10, 180, 40, 501, "");
        b.Add(DialogBuilder::kDropDownList, 10, 55, 80, 60, 502, "");
        b.Add(DialogBuilder::kDropDownList, 100, 55, 80, 60, 503, "");
        b.Add(DialogBuilder::kEditBox, 10, 75, 180, 13, 504, "Caf\xC3\xA9 \xF0\x9F\x8E\x99");
        return b.Build();
    }

protected:
    void OnInit() override {}
    bool OnCommand(int, int) override { return false; }
};

void Check(const std::string& name, std::string value) {
    std::replace(value.begin(), value.end(), '\n', '|');
    Console::WriteLine("CHECK " + name + "=" + value);
}

std::string ClipboardText(HWND owner) {
    if (!::OpenClipboard(owner)) return "(not opened)";
    std::string text = "(none)";
    if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
        if (auto* p = static_cast<const wchar_t*>(::GlobalLock(data))) {
            text = win::Narrow(p);
            ::GlobalUnlock(data);
        }
    }
    ::CloseClipboard();
    return text;
}

int RunUtilities() {
    UtilitiesDialog dialog;
    HWND d = dialog.CreateModeless(nullptr);
    auto extent = [&] { return std::to_string(Win32::SendDlgItemMessageW(d, 501, LB_GETHORIZONTALEXTENT, 0, 0)); };
    auto count = [&](int id, UINT msg) { return std::to_string(Win32::SendDlgItemMessageW(d, id, msg, 0, 0)); };

    Win32::ListSetLines(d, 501, "a\r\n\r\nb  \r\nc");
    Check("list_lines", Win32::ListGetAll(d, 501));
    Check("list_extent", extent());
    Check("list_line_past_end", Win32::ListGetLine(d, 501, 5));
    Win32::ListSetLines(d, 501, "");
    Check("list_after_empty_count", count(501, LB_GETCOUNT));
    Check("list_after_empty_extent", extent());
    Win32::ListSetLines(d, 501, "   \r\n\t");
    Check("list_blank_count", count(501, LB_GETCOUNT));
    Check("list_blank_extent", extent());
    Check("list_missing", Win32::ListGetAll(d, 999));

    Check("combo_add_index", std::to_string(Win32::ComboAdd(d, 502, "Seconds", 10)));
    Win32::ComboAdd(d, 502, "Minutes", 20);
    Check("combo_insert_index", std::to_string(Win32::ComboInsert(d, 502, 0, "Hours", -5)));
    Check("combo_none_data", std::to_string(Win32::ComboGetData(d, 502)));
    Check("combo_none_text", Win32::ComboGetText(d, 502));
    Win32::ComboSelectByText(d, 502, "minutes");
    Check("combo_case_differs", Win32::ComboGetText(d, 502) + "," + std::to_string(Win32::ComboGetData(d, 502)));
    Win32::ComboSelectByText(d, 502, "Minutes");
    Check("combo_exact", Win32::ComboGetText(d, 502) + "," + std::to_string(Win32::ComboGetData(d, 502)));
    Win32::ComboSelectByText(d, 503, "Minutes");
    Check("combo_empty_selection", count(503, CB_GETCURSEL));

    Check("item_text", Win32::GetDlgItemText(d, 504));
    Check("item_missing", Win32::GetDlgItemText(d, 999));
    dialog.Text(504, "");
    Check("item_emptied", Win32::GetDlgItemText(d, 504));

    Win32::SetClipboardText(d, "Copied \xE2\x9C\x93\nline two");
    Check("clipboard", ClipboardText(d));
    Console::WriteLine("RESULT 0");
    return 0;
}

// Modal loops belong to the platform: a thread timer running inside them tells when the
// dialog (whichever window is active) is on screen.
void CALLBACK AnnounceActive(HWND, UINT, UINT_PTR id, DWORD) {
    HWND active = ::GetActiveWindow();
    if (active && ::IsWindowVisible(active)) {
        ::KillTimer(nullptr, id);
        Console::WriteLine("OPEN " + std::to_string(reinterpret_cast<uintptr_t>(active)));
    }
}

// The loop the main window runs: IsDialogMessageW gives the dialog its keyboard.
INT_PTR RunModeless(DialogBase& dialog) {
    HWND window = dialog.CreateModeless(nullptr);
    Win32::ShowWindow(window, SW_SHOW);
    Win32::SetForegroundWindow(window);
    Console::WriteLine("OPEN " + std::to_string(reinterpret_cast<uintptr_t>(window)));
    MSG msg;
    while (!dialog.EndResult() && Win32::IsWindow(window) && Win32::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!Win32::IsDialogMessageW(window, &msg)) {
            Win32::TranslateMessage(&msg);
            Win32::DispatchMessageW(&msg);
        }
    }
    const INT_PTR result = dialog.EndResult().value_or(0);
    Win32::DestroyWindow(window);
    return result;
}

INT_PTR Run(DialogBase& dialog, bool modeless) {
    if (modeless) return RunModeless(dialog);
    ::SetTimer(nullptr, 0, 50, &AnnounceActive);
    return dialog.ShowModal(nullptr);
}

void InitSpeech(const Args& args) {
    Speech::Platform platform = Speech::Host();
    const std::filesystem::path dll =
        args.values.count("speech-dll")
            ? platform::U8Path(args.Get("speech-dll", ""))
            : platform::ExePath().parent_path() / "tools" / "nvda_standin" / "nvdaControllerClient_standin.dll";
    if (platform::FileExists(dll)) {
        // Offered as if embedded, so the library goes the product's way: unpacked, then bound.
        static const std::string bytes = platform::ReadFileBytes(dll);
        platform.resource = [](std::string_view name) -> std::optional<std::string_view> {
            const std::string_view wanted = Speech::kLibraryResource;
            const bool same = std::equal(name.begin(), name.end(), wanted.begin(), wanted.end(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            });
            return same ? std::optional<std::string_view>(bytes) : std::nullopt;
        };
    }
    Speech::Init(platform);
}

int Main(const Args& args) {
    Win32::EnableDpiAwareness();
    Win32::InitCommonControls();
    InitSpeech(args);
    if (args.what == "confirm") {
        ConfirmDialog dialog(args.Get("title", "Confirm Test"), args.Get("message", "Proceed with the test?"),
                             args.Get("accept", "&Yes"), args.Get("reject", "&No"));
        const INT_PTR r = Run(dialog, args.modeless);
        Console::WriteLine("RESULT " + std::to_string(r));
        return 0;
    }
    if (args.what == "fields") {
        FieldsDialog dialog(args.GetInt("volume", 50), args.GetInt("seconds", 300), args.GetInt("max-seconds", 86400));
        const INT_PTR r = Run(dialog, args.modeless);
        Console::WriteLine("RESULT " + std::to_string(r) + " " + dialog.summary);
        return 0;
    }
    if (args.what == "folder") {
        ::SetTimer(nullptr, 0, 50, &AnnounceActive);
        const auto path = FolderPicker::Pick(nullptr, args.Get("title", ""), args.Get("initial", ""));
        Console::WriteLine(path ? "RESULT 1 " + *path : "RESULT 0");
        return 0;
    }
    if (args.what == "throw") {
        ThrowDialog dialog(args.nonStd);
        const INT_PTR r = Run(dialog, args.modeless);
        Console::WriteLine("RESULT " + std::to_string(r));
        return 0;
    }
    if (args.what == "utilities") return RunUtilities();
    if (args.what == "broken") {
        BrokenDialog dialog;
        const INT_PTR r = Run(dialog, args.modeless);
        Console::WriteLine("RESULT " + std::to_string(r));
        return 0;
    }
    Console::WriteLine("ERROR unknown dialog '" + args.what + "' (confirm, fields, folder, throw, broken)");
    return 1;
}

}  // namespace

int main() {
    Console::Attach();
    win::ComScope com(COINIT_APARTMENTTHREADED);
    try {
        return Main(ParseArgs(win::CommandLineArgs()));
    } catch (const std::exception& e) {
        Console::WriteLine(std::string("ERROR ") + e.what());
        return 1;
    }
}
