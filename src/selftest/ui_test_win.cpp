#include <windows.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/errors.h"
#include "app/platform.h"
#include "feedback/sound_library.h"
#include "recording/wasapi.h"
#include "selftest/suite_harness.h"
#include "selftest/ui_test.h"
#include "ui/confirm_dialog_win.h"
#include "ui/option_dialogs_win.h"
#include "ui/repair_dialog_win.h"
#include "ui/settings_dialog_win.h"
#include "ui/update_dialog_win.h"
#include "ui/win32_win.h"

namespace twr {

namespace {

bool Contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// Destroys the test's window when the test ends, also when it ends by an exception; declared
// after the dialog object, so the window goes before the object it calls into.
class WindowScope {
public:
    WindowScope() = default;
    WindowScope(const WindowScope&) = delete;
    WindowScope& operator=(const WindowScope&) = delete;
    ~WindowScope() {
        if (Win32::IsWindow(window_)) Win32::DestroyWindow(window_);
    }
    void Set(HWND window) noexcept { window_ = window; }
    [[nodiscard]] HWND Get() const noexcept { return window_; }

private:
    HWND window_ = nullptr;
};

class Probe {
public:
    explicit Probe(SuiteHarness& h) : h_(h) {}

    HWND Open(DialogBase& dialog, const std::string& name, WindowScope& scope) {
        HWND window = nullptr;
        try {
            window = dialog.CreateModeless(nullptr);
        } catch (...) {
            h_.Fail(name + " failed to create: " + SuiteHarness::MessageOf(std::current_exception()));
            return nullptr;
        }
        scope.Set(window);
        h_.Check(window != nullptr, name + " window created");
        return window;
    }

    bool Has(HWND window, int id, const std::string& label) {
        const bool exists = Win32::GetDlgItem(window, id) != nullptr;
        h_.Check(exists, label + " control (" + std::to_string(id) + ") exists");
        return exists;
    }

    static std::string ClassOf(HWND window, int id) {
        HWND control = Win32::GetDlgItem(window, id);
        if (!control) return "";
        wchar_t name[64] = {};
        const int n = Win32::GetClassNameW(control, name, 64);
        std::string out;
        for (int i = 0; i < n; ++i) out += static_cast<char>(name[i] < 0x80 ? name[i] : '?');
        return out;
    }

    static bool Focusable(HWND window, int id) {
        HWND control = Win32::GetDlgItem(window, id);
        return control && (Win32::GetWindowLongPtr(control, GWL_STYLE) & WS_TABSTOP) != 0;
    }

    static int32_t ComboCount(HWND window, int id) {
        return static_cast<int32_t>(Win32::SendDlgItemMessageW(window, id, CB_GETCOUNT, 0, 0));
    }
    static int32_t ListCount(HWND window, int id) {
        return static_cast<int32_t>(Win32::SendDlgItemMessageW(window, id, LB_GETCOUNT, 0, 0));
    }
    // A list's selected entry, an edit's or a static's window text.
    static std::string TextOf(HWND window, int id) {
        return ClassOf(window, id) == "ComboBox" ? Win32::ComboGetText(window, id) : Win32::GetDlgItemText(window, id);
    }
    static bool Checked(HWND window, int id) { return Win32::IsDlgButtonChecked(window, id) == BST_CHECKED; }

private:
    SuiteHarness& h_;
};

void FillSettings(Config& c) {
    auto& d = c.Data();
    d.Set("save_folder", "D:\\Recordings");
    c.Set("auto_split_secs", 5400);
    c.Set("max_length_secs", 0);
    c.Set("auto_start_delay", 90);
    c.Set("snd_volume", 5);
    d.Set("filename_prefix", "Interview");
    d.Set("window_title", "TWR");
    d.Set("auto_start", true);
    d.Set("group_splits", false);
    d.Set("sample_rate", "96000");
    d.Set("bit_depth", "32");
    d.Set("channels", "1");
    c.Set("buffer_size", 8192);
    d.Set("in1_route", "Left Channel Only");
    d.Set("in2_route", "Right Channel Only");
    d.Set("continue_on_mic_disconnect", true);
    d.Set("notify_split", false);
    d.Set("speak_in_focus_only", true);
    d.Set("snd_pause", false);
    c.SetSoundFor("start", "Soft Chime");
}

void TestSettings(SuiteHarness& h, Config& config) {
    Probe p(h);
    h.Say("-- Recording Settings");
    std::vector<AudioDevice> devices;
    try {
        devices = Wasapi::EnumerateDevices();
    } catch (...) {
        h.Say("   (device enumeration unavailable: " + SuiteHarness::MessageOf(std::current_exception()) + ")");
    }
    SettingsDialog dialog(config, devices);
    WindowScope scope;
    HWND w = p.Open(dialog, "Settings", scope);
    if (!w) return;
    const std::vector<std::pair<const char*, int>> controls = {
        {"Sort order", 2001}, {"Primary input", 2002}, {"Secondary input", 2003}, {"Output folder", 2004},
        {"Change folder", 2005}, {"Sample rate", 2006}, {"Bit depth", 2007}, {"Channels", 2008},
        {"Buffer size", 2009}, {"File prefix", 2010}, {"Auto-start", 2011}, {"Start delay", 2012},
        {"Start delay unit", 2023}, {"Max length", 2013}, {"Max length unit", 2024}, {"Auto-split", 2014},
        {"Auto-split unit", 2025}, {"Group splits", 2015}, {"Window title", 2016}, {"Update on startup", 2017},
        {"Check updates now", 2018}, {"Configure notifications", 2019}, {"Configure sounds", 2020},
        {"Configure audio channels", 2021}, {"Copy diagnostic logs", 2022}, {"Save and close", 1}};
    for (const auto& [label, id] : controls) p.Has(w, id, label);
    h.Eq(Probe::ComboCount(w, 2001), 2, "sort order has two entries");
    h.Eq(Probe::ComboCount(w, 2006), 6, "six sample rates");
    h.Eq(Probe::ComboCount(w, 2007), 3, "three bit depths");
    h.Eq(Probe::ComboCount(w, 2008), 2, "mono and stereo");
    h.Eq(Probe::ComboCount(w, 2009), 5, "five buffer sizes");
    const std::vector<std::tuple<int, std::string, std::string>> texts = {
        {2006, "96000", "sample rate selected from config"},
        {2007, "32", "bit depth selected from config"},
        {2008, "1 (Mono)", "mono selected from config"},
        {2009, "8192", "buffer size selected from config"},
        {2001, "Inputs First", "sort order selected from config"},
        {2004, "D:\\Recordings", "output folder shown"},
        {2010, "Interview", "prefix shown"},
        {2016, "TWR", "window title shown"},
        {2014, "90 minutes", "auto-split shows the number"},
        {2025, "Minutes", "auto-split unit is Minutes"},
        {2012, "90 seconds", "start delay shows the number"},
        {2023, "Seconds", "start delay unit is Seconds"},
        {2013, "0 seconds", "max length shows zero"},
        {2024, "Seconds", "max length unit is Seconds"},
    };
    for (const auto& [id, expected, label] : texts) h.Eq(Probe::TextOf(w, id), expected, label);
    for (const auto& [id, name] : std::vector<std::pair<int, std::string>>{
             {2023, "start delay"}, {2024, "max length"}, {2025, "auto-split"}})
        h.Eq(Probe::ComboCount(w, id), 3, name + " offers Seconds, Minutes and Hours");
    h.Eq(Probe::Checked(w, 2011), true, "auto-start checked from config");
    h.Eq(Probe::Checked(w, 2015), false, "group splits unchecked from config");
    h.Eq(Probe::Checked(w, 2017), true, "update check checked from config");
    h.Eq(Probe::ComboCount(w, 2003), Probe::ComboCount(w, 2002), "both input lists carry one extra row");
    h.Eq(Probe::TextOf(w, 2002), std::string("Not selected"), "an unconfigured primary input shows Not selected");
    h.Eq(Probe::TextOf(w, 2003), std::string("None"), "an unconfigured secondary input shows None");
    h.Eq(Probe::TextOf(w, 2003), std::string("None"), "secondary input defaults to None");
}

void TestNotifications(SuiteHarness& h, Config& config) {
    Probe p(h);
    h.Say("-- Notification Settings");
    NotificationsDialog dialog(config);
    WindowScope scope;
    HWND w = p.Open(dialog, "Notifications", scope);
    if (!w) return;
    for (const auto& [label, id] : std::vector<std::pair<const char*, int>>{
             {"Start/stop", 1101}, {"Split", 1102}, {"Error", 1103}, {"Drive", 1104}, {"Mic", 1105},
             {"Confirm exit", 1106}, {"Focus speak", 1107}, {"Auto resume", 1108}})
        p.Has(w, id, label);
    h.Eq(Probe::Checked(w, 1102), false, "notify_split false reflected");
    h.Eq(Probe::Checked(w, 1101), true, "notify_start_stop true reflected");
    h.Eq(Probe::Checked(w, 1107), true, "speak_in_focus_only reflected");
}

void TestSounds(SuiteHarness& h, Config& config) {
    Probe p(h);
    h.Say("-- Configure Sounds");
    SoundsDialog dialog(config);
    WindowScope scope;
    HWND w = p.Open(dialog, "Sounds", scope);
    if (!w) return;
    for (const auto& [label, id] : std::vector<std::pair<const char*, int>>{
             {"Start cue", 1201}, {"Stop cue", 1202}, {"Pause cue", 1203}, {"Unpause cue", 1204}, {"Volume", 1205}})
        p.Has(w, id, label);
    h.Eq(Probe::Checked(w, 1203), false, "snd_pause false reflected");
    h.Eq(Probe::Checked(w, 1201), true, "snd_start true reflected");
    h.Eq(Probe::TextOf(w, 1205), std::string("5 percent"), "volume reads as a percentage");
    const auto names = static_cast<int32_t>(SoundLibrary::Names().size());
    for (const auto& [event, id] : std::vector<std::pair<std::string, int>>{
             {"start", 1211}, {"stop", 1212}, {"pause", 1213}, {"unpause", 1214}}) {
        p.Has(w, id, event + " sound");
        h.Eq(Probe::ComboCount(w, id), names, event + " lists every built-in sound");
        h.Eq(Probe::TextOf(w, id), config.SoundFor(event), event + " selects the configured sound");
    }
    h.Eq(Probe::TextOf(w, 1211), std::string("Soft Chime"), "a non-default sound is preselected from config");
    h.Eq(Probe::TextOf(w, 1212), std::string("Falling Sweep"), "an unset event keeps its default sound");
}

void TestChannels(SuiteHarness& h, Config& config) {
    Probe p(h);
    h.Say("-- Configure Audio Channels");
    ChannelsDialog dialog(config);
    WindowScope scope;
    HWND w = p.Open(dialog, "Channels", scope);
    if (!w) return;
    p.Has(w, 1301, "Input 1 routing");
    p.Has(w, 1302, "Input 2 routing");
    p.Has(w, 1303, "Continue on disconnect");
    h.Eq(Probe::ComboCount(w, 1301), 3, "three routing options for input 1");
    h.Eq(Probe::ComboCount(w, 1302), 3, "three routing options for input 2");
    h.Eq(Probe::TextOf(w, 1301), std::string("Left Channel Only"), "in1_route selected");
    h.Eq(Probe::TextOf(w, 1302), std::string("Right Channel Only"), "in2_route selected");
    h.Eq(Probe::Checked(w, 1303), true, "continue_on_mic_disconnect reflected");
}

void TestSimpleDialogs(SuiteHarness& h) {
    Probe p(h);
    h.Say("-- Repair / Update / Confirm");
    {
        RepairDialog dialog("D:\\Recordings\\20260826_140309.wav");
        WindowScope scope;
        if (HWND w = p.Open(dialog, "Repair", scope)) {
            p.Has(w, 1402, "Repair button");
            p.Has(w, 1403, "Leave alone button");
            p.Has(w, 1404, "Forget button");
            h.Eq(Probe::ClassOf(w, 1401), std::string("Static"), "repair message is static text");
            h.Check(Contains(Win32::GetDlgItemText(w, 1401), "20260826_140309.wav"), "repair prompt names the file");
            h.Check(!Probe::Focusable(w, 1401), "repair message is not a tab stop");
        }
    }
    {
        UpdateDialog dialog("v2.0.0", "v2.1.0", "Added X\n- Fixed Y\n* Changed Z\n\n");
        WindowScope scope;
        if (HWND w = p.Open(dialog, "Update", scope)) {
            p.Has(w, 1503, "Release notes list");
            p.Has(w, 1504, "Update now button");
            p.Has(w, 1505, "Skip button");
            h.Eq(Probe::ClassOf(w, 1501), std::string("Static"), "update headline is static text");
            h.Check(Contains(Win32::GetDlgItemText(w, 1501), "v2.0.0 to v2.1.0"), "update prompt names both versions");
            h.Eq(Probe::ListCount(w, 1503), 3, "blank lines dropped from release notes");
        }
    }
    {
        ConfirmDialog dialog("External Drive Warning", "line one\nline two", "I understand", "Revert");
        WindowScope scope;
        if (HWND w = p.Open(dialog, "Confirm", scope)) {
            p.Has(w, 1602, "Accept button");
            p.Has(w, 1603, "Reject button");
            h.Eq(Probe::ClassOf(w, 1601), std::string("Static"), "confirm message is static text");
            h.Check(Contains(Win32::GetDlgItemText(w, 1601), "line two"), "confirm text carries both lines");
            h.Check(!Probe::Focusable(w, 1601), "confirm message is not a tab stop");
        }
    }
}

void TestListText(SuiteHarness& h) {
    Probe p(h);
    h.Say("-- Read-only text lists");
    UpdateDialog dialog("v1", "v2", "seed");
    WindowScope scope;
    HWND w = p.Open(dialog, "ListProbe", scope);
    if (!w) return;
    constexpr int kList = 1503;
    auto set = [&](std::string_view text) { Win32::ListSetLines(w, kList, text); };
    h.Eq(Probe::ClassOf(w, kList), std::string("ListBox"), "the probe control really is a list box");
    set("alpha\nbeta\ngamma");
    h.Eq(Probe::ListCount(w, kList), 3, "three lines become three items");
    h.Eq(Win32::ListGetLine(w, kList, 0), std::string("alpha"), "first item");
    h.Eq(Win32::ListGetLine(w, kList, 2), std::string("gamma"), "last item");
    set("one\r\ntwo");
    h.Eq(Probe::ListCount(w, kList), 2, "CRLF splits into two items");
    h.Eq(Win32::ListGetLine(w, kList, 0), std::string("one"), "no trailing carriage return");
    set("a\n\n\nb");
    h.Eq(Probe::ListCount(w, kList), 2, "blank lines are dropped");
    set("");
    h.Eq(Probe::ListCount(w, kList), 0, "empty text clears the list");
    set("x\ny");
    set("z");
    h.Eq(Probe::ListCount(w, kList), 1, "a second set replaces the contents");
    h.Eq(Win32::ListGetAll(w, kList), std::string("z"), "contents are the newest text");
    const std::string path = "Output Folder is set to: " + std::string(200, 'p');
    set(path);
    h.Eq(Win32::ListGetLine(w, kList, 0), path, "a long path survives intact");
}

}  // namespace

int UiTest::Run() {
    Win32::EnableDpiAwareness();
    Win32::InitCommonControls();
    SuiteHarness h("twr_uitest_report.txt");
    const auto settingsPath = platform::TempDir() / (SuiteHarness::UniqueName("twr_uitest_") + ".json");
    h.Guard([&] {
        Config config(settingsPath);
        FillSettings(config);
        TestSettings(h, config);
        TestNotifications(h, config);
        TestSounds(h, config);
        TestChannels(h, config);
        TestSimpleDialogs(h);
        TestListText(h);
    });
    try {
        platform::DeleteFileIfExists(settingsPath);
    } catch (...) {
    }
    h.Summary("UI checks");
    h.WriteReport();
    return h.ExitCode();
}

}  // namespace twr
