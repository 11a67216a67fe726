// Test driver: works another process's windows the way a keyboard user and a screen reader meet
// them, and prints what it saw, so the Wine tests can walk a dialog in one process.
//
// Commands come from the arguments (one command per argument) or, with none, from standard
// input, one per line. A command is a word and key=value pairs; a value with spaces or quotes is
// written in double quotes with JSON escapes (\" \\ \n \t \uXXXX). Each command prints exactly
// one line: a JSON object with "ok": true and its results, or "ok": false and "error".
// Window handles are decimal numbers; "timeout" and "settle" are milliseconds.
//
//   windows [exe=NAME] [pid=N] [caption=T] [class=C]
//                       visible top-level windows: "windows": [{hwnd, class, text, pid}]
//   find caption=T [class=C] [exe=NAME] [pid=N] [timeout=5000]
//                       waits for a visible top-level window: "hwnd", "pid", "text", "class"
//   gone hwnd=H [timeout=5000]            waits until the window no longer exists
//   controls hwnd=H                       direct children in template (z) order: "controls": [...]
//                                         each {hwnd, id, class, text, style, exstyle, enabled,
//                                         visible, tabstop, check?, name, role, shortcut, value}
//   info hwnd=H [id=N]                    one control (or the child with that id) as above, plus
//                                         "items"/"sel" for a list or combo box
//   focus hwnd=H [not=H2] [timeout=2000]  the focused control of H's thread (waits while it is H2),
//                                         as info, plus "active"
//   active hwnd=H [timeout=5000]          waits until H's thread reports H (its top-level window)
//                                         active with the focus inside it; answers as focus
//   key hwnd=H keys="Tab Shift+Tab Alt+R" [settle=150] [move=1 [timeout=3000]] [ready=5000]
//                                         SetForegroundWindow(H), waits as "active" does (an error
//                                         when that never comes), then each chord by SendInput;
//                                         with move=1 waits until the focus has left where it was;
//                                         names: letters, digits, Tab Enter Escape Space Up Down
//                                         Left Right Home End PageUp PageDown Delete Backspace F1-F12
//                                         with Shift+ Ctrl+ Alt+; answers with "focus" as above
//   type hwnd=H text=T [settle=150] [ready=5000]
//                                         types the text with KEYEVENTF_UNICODE, once H is ready as for key
//   click hwnd=H [id=N]                   BM_CLICK on the button (sent without waiting, so a dialog
//                                         the click opens does not block the driver)
//   close hwnd=H                          posts WM_CLOSE
//   msgbox caption=T [exe=NAME] [timeout=5000]
//                                         a message box: "hwnd", "text" (static 65535), "icon"
//                                         (red|yellow|blue|none, by the pixels shown), "icon_kind"
//                                         (error|warning|information|question, the system icon
//                                         that matches what is shown), "buttons": [{id, text, default}]
//   clipboard                             "text": the clipboard's CF_UNICODETEXT, or null
//   shot file=PATH                        the whole screen as a 24-bit BMP file
//   sleep ms=N
//   quit                                  ends the command loop
//
// "ui_driver --demo modal|modeless" instead shows a small dialog of its own (a labelled edit,
// drop-down list and list box, a check box in a group box, "&Warn", OK and Cancel) for the
// driver's own tests:
// OK shows the box "Demo Result" (information, OK and Cancel) and puts the name on the clipboard,
// "&Warn" shows "Demo Warning" (warning icon); on closing it prints
// "result <n> name=<text> colour=<index> loud=<check> box=<answer>".
#include <windows.h>
#include <oleacc.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwctype>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/console.h"
#include "app/platform.h"
#include "app/unicode.h"
#include "app/win_error.h"
#include "app/win_raii.h"

namespace {

using namespace twr;
using Args = std::map<std::string, std::string>;

// ---- JSON output ---------------------------------------------------------------------------

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// An object written member by member; values are already JSON.
class Obj {
public:
    Obj& Raw(const std::string& key, const std::string& json) {
        text_ += (text_.empty() ? "" : ",") + Quote(key) + ":" + json;
        return *this;
    }
    Obj& Str(const std::string& key, const std::string& v) { return Raw(key, Quote(v)); }
    Obj& Num(const std::string& key, long long v) { return Raw(key, std::to_string(v)); }
    Obj& Bool(const std::string& key, bool v) { return Raw(key, v ? "true" : "false"); }
    [[nodiscard]] std::string Json() const { return "{" + text_ + "}"; }

private:
    std::string text_;
};

std::string Array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
}

// ---- command parsing -----------------------------------------------------------------------

// Reads a double-quoted value with JSON escapes starting at line[i] == '"'; i ends after it.
std::string ReadQuoted(const std::string& line, size_t& i) {
    std::string out;
    unsigned pendingHigh = 0;
    for (++i; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            ++i;
            return out;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= line.size()) break;
        switch (line[i]) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (i + 4 >= line.size()) throw std::runtime_error("short \\u escape");
                const unsigned cp = std::stoul(line.substr(i + 1, 4), nullptr, 16);
                i += 4;
                if (cp >= 0xD800 && cp < 0xDC00) {
                    pendingHigh = cp;
                } else if (cp >= 0xDC00 && cp < 0xE000 && pendingHigh) {
                    unicode::AppendUtf8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (cp - 0xDC00));
                    pendingHigh = 0;
                } else {
                    unicode::AppendUtf8(out, cp);
                }
                break;
            }
            default: out += line[i];
        }
    }
    throw std::runtime_error("unterminated quoted value");
}

std::pair<std::string, Args> ParseCommand(const std::string& line) {
    std::string word;
    Args args;
    size_t i = 0;
    auto skipSpace = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    };
    skipSpace();
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
    for (skipSpace(); i < line.size(); skipSpace()) {
        std::string key;
        while (i < line.size() && line[i] != '=' && line[i] != ' ') key += line[i++];
        if (i >= line.size() || line[i] != '=') throw std::runtime_error("expected key=value at '" + key + "'");
        ++i;
        std::string value;
        if (i < line.size() && line[i] == '"') {
            value = ReadQuoted(line, i);
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') value += line[i++];
        }
        args[key] = value;
    }
    return {word, args};
}

std::string Need(const Args& a, const std::string& key) {
    const auto it = a.find(key);
    if (it == a.end()) throw std::runtime_error("missing " + key + "=");
    return it->second;
}

long long Int(const Args& a, const std::string& key, std::optional<long long> fallback = std::nullopt) {
    const auto it = a.find(key);
    if (it == a.end()) {
        if (!fallback) throw std::runtime_error("missing " + key + "=");
        return *fallback;
    }
    size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(it->second, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != it->second.size()) throw std::runtime_error("not a number: " + key + "=" + it->second);
    return value;
}

std::optional<std::string> Opt(const Args& a, const std::string& key) {
    const auto it = a.find(key);
    return it == a.end() ? std::nullopt : std::optional<std::string>(it->second);
}

HWND Handle(const Args& a, const std::string& key = "hwnd") {
    const HWND h = reinterpret_cast<HWND>(static_cast<intptr_t>(Int(a, key)));
    if (!::IsWindow(h)) throw std::runtime_error("no window " + std::to_string(Int(a, key)));
    return h;
}

long long Num(HWND h) { return static_cast<long long>(reinterpret_cast<intptr_t>(h)); }

// Polls the condition every 20 ms until it holds or the time is up; true when it held.
bool WaitFor(long long timeoutMs, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ---- reading windows -----------------------------------------------------------------------

std::string ClassOf(HWND h) {
    wchar_t buf[256] = {};
    ::GetClassNameW(h, buf, 256);
    return win::Narrow(buf);
}

// WM_GETTEXT, which reads an edit or combo box of another process where GetWindowTextW gives "".
std::string TextOf(HWND h) {
    DWORD_PTR len = 0;
    if (!::SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &len)) return "";
    std::wstring buf(len + 2, L'\0');
    DWORD_PTR got = 0;
    ::SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG, 2000,
                          &got);
    buf.resize(std::min<size_t>(got, buf.size()));
    return win::Narrow(buf);
}

LRESULT Send(HWND h, UINT msg, WPARAM w = 0, LPARAM l = 0) {
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(h, msg, w, l, SMTO_ABORTIFHUNG, 2000, &result))
        throw std::runtime_error("message " + std::to_string(msg) + " timed out");
    return static_cast<LRESULT>(result);
}

std::string ItemText(HWND h, bool combo, int index) {
    const LRESULT len = Send(h, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, index);
    if (len <= 0) return "";
    std::wstring buf(static_cast<size_t>(len) + 2, L'\0');
    Send(h, combo ? CB_GETLBTEXT : LB_GETTEXT, index, reinterpret_cast<LPARAM>(buf.data()));
    buf.resize(wcslen(buf.c_str()));
    return win::Narrow(buf);
}

DWORD PidOf(HWND h) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(h, &pid);
    return pid;
}

std::string ExeOf(DWORD pid) {
    win::unique_handle snap(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap || snap.get() == INVALID_HANDLE_VALUE) return "";
    PROCESSENTRY32W e{};
    e.dwSize = sizeof e;
    for (BOOL more = ::Process32FirstW(snap.get(), &e); more; more = ::Process32NextW(snap.get(), &e))
        if (e.th32ProcessID == pid) return win::Narrow(e.szExeFile);
    return "";
}

bool SameText(const std::string& a, const std::string& b) {
    return ::CompareStringOrdinal(win::Widen(a).c_str(), -1, win::Widen(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

// ---- MSAA ----------------------------------------------------------------------------------

// oleacc is bound at run time: the driver then needs nothing beyond what the core links.
using AccFromWindowFn = HRESULT(WINAPI*)(HWND, DWORD, REFIID, void**);
using RoleTextFn = UINT(WINAPI*)(DWORD, LPWSTR, UINT);

struct Oleacc {
    win::unique_hmodule module{::LoadLibraryW(L"oleacc.dll")};
    AccFromWindowFn fromWindow = module ? reinterpret_cast<AccFromWindowFn>(reinterpret_cast<void*>(
                                              ::GetProcAddress(module.get(), "AccessibleObjectFromWindow")))
                                        : nullptr;
    RoleTextFn roleText = module ? reinterpret_cast<RoleTextFn>(
                                       reinterpret_cast<void*>(::GetProcAddress(module.get(), "GetRoleTextW")))
                                 : nullptr;
};

Oleacc& Acc() {
    static Oleacc acc;
    return acc;
}

using unique_bstr = win::unique_any<BSTR, &::SysFreeString>;

// A text property quoted, or null when the object gives none; the string is freed on every path.
template <typename Get>
std::string QuotedBstr(Get get) {
    unique_bstr b;
    if (FAILED(get(b.put())) || !b) return "null";
    return Quote(win::Narrow(std::wstring_view(b.get(), ::SysStringLen(b.get()))));
}

// What a screen reader would read for the control: name, role, value, shortcut, state.
void AddMsaa(Obj& o, HWND h) {
    // mingw-w64's liboleacc IID_IAccessible is wrong (every call fails with E_NOINTERFACE);
    // the header's __uuidof is right.
    win::com_ptr<IAccessible> acc;
    const HRESULT hr = Acc().fromWindow
                           ? Acc().fromWindow(h, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible), acc.put_void())
                           : E_NOTIMPL;
    if (FAILED(hr) || !acc) {
        o.Num("msaa_error", static_cast<long long>(static_cast<unsigned long>(hr)));
        return;
    }
    VARIANT self;
    ::VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    o.Raw("name", QuotedBstr([&](BSTR* b) { return acc->get_accName(self, b); }));
    o.Raw("value", QuotedBstr([&](BSTR* b) { return acc->get_accValue(self, b); }));
    o.Raw("shortcut", QuotedBstr([&](BSTR* b) { return acc->get_accKeyboardShortcut(self, b); }));
    VARIANT v;
    ::VariantInit(&v);
    if (SUCCEEDED(acc->get_accRole(self, &v)) && v.vt == VT_I4) {
        o.Num("role", v.lVal);
        if (Acc().roleText) {
            wchar_t buf[128] = {};
            Acc().roleText(static_cast<DWORD>(v.lVal), buf, 128);
            o.Str("role_text", win::Narrow(buf));
        }
    }
    ::VariantClear(&v);
    if (SUCCEEDED(acc->get_accState(self, &v)) && v.vt == VT_I4) {
        o.Num("state", v.lVal);
        o.Bool("unavailable", (v.lVal & STATE_SYSTEM_UNAVAILABLE) != 0);
    }
    ::VariantClear(&v);
}

// ---- describing controls -------------------------------------------------------------------

Obj Describe(HWND h, bool withItems) {
    Obj o;
    const std::string cls = ClassOf(h);
    const auto style = static_cast<DWORD>(::GetWindowLongPtrW(h, GWL_STYLE));
    o.Num("hwnd", Num(h))
        .Num("id", ::GetDlgCtrlID(h))
        .Str("class", cls)
        .Str("text", TextOf(h))
        .Num("style", style)
        .Num("exstyle", static_cast<DWORD>(::GetWindowLongPtrW(h, GWL_EXSTYLE)))
        .Bool("enabled", ::IsWindowEnabled(h) != FALSE)
        .Bool("visible", ::IsWindowVisible(h) != FALSE)
        .Bool("tabstop", (style & WS_TABSTOP) != 0);
    if (SameText(cls, "Button")) {
        const DWORD kind = style & BS_TYPEMASK;
        if (kind == BS_CHECKBOX || kind == BS_AUTOCHECKBOX || kind == BS_3STATE || kind == BS_AUTO3STATE ||
            kind == BS_RADIOBUTTON || kind == BS_AUTORADIOBUTTON)
            o.Num("check", Send(h, BM_GETCHECK));
        o.Bool("default", kind == BS_DEFPUSHBUTTON);
    }
    const bool combo = SameText(cls, "ComboBox"), list = SameText(cls, "ListBox");
    if (withItems && (combo || list)) {
        const int count = static_cast<int>(Send(h, combo ? CB_GETCOUNT : LB_GETCOUNT));
        std::vector<std::string> items;
        for (int i = 0; i < count; ++i) items.push_back(Quote(ItemText(h, combo, i)));
        o.Raw("items", Array(items)).Num("sel", Send(h, combo ? CB_GETCURSEL : LB_GETCURSEL));
    }
    AddMsaa(o, h);
    return o;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> out;
    for (HWND c = ::GetWindow(parent, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

struct Filter {
    std::optional<std::string> caption, cls, exe;
    std::optional<DWORD> pid;
};

Filter FilterOf(const Args& a) {
    Filter f{Opt(a, "caption"), Opt(a, "class"), Opt(a, "exe"), std::nullopt};
    if (a.count("pid")) f.pid = static_cast<DWORD>(Int(a, "pid"));
    return f;
}

std::vector<HWND> TopWindows(const Filter& f) {
    std::vector<HWND> all;
    ::EnumWindows(
        [](HWND h, LPARAM p) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&all));
    std::vector<HWND> out;
    for (HWND h : all) {
        if (!::IsWindowVisible(h)) continue;
        if (f.caption && TextOf(h) != *f.caption) continue;
        if (f.cls && !SameText(ClassOf(h), *f.cls)) continue;
        if (f.pid && PidOf(h) != *f.pid) continue;
        if (f.exe && !SameText(ExeOf(PidOf(h)), *f.exe)) continue;
        out.push_back(h);
    }
    return out;
}

HWND FindTop(const Filter& f, long long timeoutMs) {
    HWND found = nullptr;
    WaitFor(timeoutMs, [&] {
        const auto w = TopWindows(f);
        found = w.empty() ? nullptr : w.front();
        return found != nullptr;
    });
    if (!found) throw std::runtime_error("no such window within " + std::to_string(timeoutMs) + " ms");
    return found;
}

HWND FocusOf(HWND anyWindowOfThread, HWND* active = nullptr) {
    GUITHREADINFO gti{};
    gti.cbSize = sizeof gti;
    if (!::GetGUIThreadInfo(::GetWindowThreadProcessId(anyWindowOfThread, nullptr), &gti))
        throw std::runtime_error("GetGUIThreadInfo failed, error " + std::to_string(::GetLastError()));
    if (active) *active = gti.hwndActive;
    return gti.hwndFocus;
}

// ---- input ---------------------------------------------------------------------------------

const std::map<std::string, WORD>& KeyNames() {
    static const std::map<std::string, WORD> names = {
        {"tab", VK_TAB},       {"enter", VK_RETURN},   {"return", VK_RETURN}, {"escape", VK_ESCAPE},
        {"esc", VK_ESCAPE},    {"space", VK_SPACE},    {"up", VK_UP},         {"down", VK_DOWN},
        {"left", VK_LEFT},     {"right", VK_RIGHT},    {"home", VK_HOME},     {"end", VK_END},
        {"pageup", VK_PRIOR},  {"pagedown", VK_NEXT},  {"delete", VK_DELETE}, {"backspace", VK_BACK},
        {"shift", VK_SHIFT},   {"ctrl", VK_CONTROL},   {"alt", VK_MENU},      {"f1", VK_F1},
        {"f2", VK_F2},         {"f3", VK_F3},          {"f4", VK_F4},         {"f5", VK_F5},
        {"f6", VK_F6},         {"f7", VK_F7},          {"f8", VK_F8},         {"f9", VK_F9},
        {"f10", VK_F10},       {"f11", VK_F11},        {"f12", VK_F12},
    };
    return names;
}

WORD KeyCode(std::string name) {
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.size() == 1 && std::isalnum(static_cast<unsigned char>(name[0])))
        return static_cast<WORD>(std::toupper(static_cast<unsigned char>(name[0])));
    const auto it = KeyNames().find(name);
    if (it == KeyNames().end()) throw std::runtime_error("unknown key '" + name + "'");
    return it->second;
}

INPUT KeyInput(WORD vk, bool up) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = static_cast<WORD>(::MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    switch (vk) {
        case VK_UP: case VK_DOWN: case VK_LEFT: case VK_RIGHT: case VK_HOME: case VK_END:
        case VK_PRIOR: case VK_NEXT: case VK_DELETE:
            in.ki.dwFlags |= KEYEVENTF_EXTENDEDKEY;
            break;
        default: break;
    }
    if (up) in.ki.dwFlags |= KEYEVENTF_KEYUP;
    return in;
}

void SendAll(std::vector<INPUT>& inputs) {
    if (inputs.empty()) return;
    // The count is the only reliable result: GetLastError may read 1400 after a success under Wine.
    const UINT sent = ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    if (sent != inputs.size())
        throw std::runtime_error("SendInput sent " + std::to_string(sent) + " of " + std::to_string(inputs.size()) +
                                 " events, error " + std::to_string(::GetLastError()));
}

// One chord such as "Shift+Tab": modifiers down in order, the key, then everything up in reverse.
void PressChord(const std::string& chord) {
    std::vector<WORD> keys;
    size_t start = 0;
    while (start <= chord.size()) {
        size_t plus = chord.find('+', start);
        // A chord ending in "+" means the plus key itself is not supported; "Shift++" is not a name.
        if (plus == std::string::npos) plus = chord.size();
        keys.push_back(KeyCode(chord.substr(start, plus - start)));
        start = plus + 1;
    }
    std::vector<INPUT> inputs;
    for (WORD k : keys) inputs.push_back(KeyInput(k, false));
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) inputs.push_back(KeyInput(*it, true));
    SendAll(inputs);
}

void BringForward(HWND h) {
    const HWND top = ::GetAncestor(h, GA_ROOT);
    ::SetForegroundWindow(top);
    WaitFor(1000, [&] { return ::GetForegroundWindow() == top; });
}

std::string Named(HWND h) {
    return h ? std::to_string(Num(h)) + " (" + ClassOf(h) + " \"" + TextOf(h) + "\")" : "none";
}

// A key reaches whatever has the focus when the target's thread reads it. Right after a message
// box closes, the window beneath is still taking its activation back: the focus is then nowhere or
// still on the box, and a key is lost or lands on another control. Input therefore waits until
// that thread itself reports the window active with the focus inside it.
void AwaitReady(HWND h, long long timeoutMs) {
    const HWND top = ::GetAncestor(h, GA_ROOT);
    HWND active = nullptr, focus = nullptr;
    const bool ready = WaitFor(timeoutMs, [&] {
        focus = FocusOf(top, &active);
        return active == top && focus && (focus == top || ::IsChild(top, focus));
    });
    if (!ready)
        throw std::runtime_error("window " + Named(top) + " was not active with the focus inside it within " +
                                 std::to_string(timeoutMs) + " ms: active " + Named(active) + ", focus " +
                                 Named(focus));
}

// ---- screen --------------------------------------------------------------------------------

struct ScreenDc {
    HDC dc = ::GetDC(nullptr);
    ~ScreenDc() {
        if (dc) ::ReleaseDC(nullptr, dc);
    }
    ScreenDc() = default;
    ScreenDc(const ScreenDc&) = delete;
    ScreenDc& operator=(const ScreenDc&) = delete;
};

// A 32-bit top-down bitmap selected into a memory DC, to draw on and read back; its pixels are
// BGRX words, row after row.
class Canvas {
public:
    Canvas(HDC like, int width, int height) : dc_(::CreateCompatibleDC(like)), width_(width), height_(height) {
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = width;
        bi.bmiHeader.biHeight = -height;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        if (dc_) bitmap_ = ::CreateDIBSection(dc_, &bi, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        if (!bitmap_ || !bits_) throw std::runtime_error("could not make a bitmap");
        old_ = ::SelectObject(dc_, bitmap_);
    }
    ~Canvas() {
        if (old_) ::SelectObject(dc_, old_);
        if (bitmap_) ::DeleteObject(bitmap_);
        if (dc_) ::DeleteDC(dc_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    [[nodiscard]] HDC Dc() const noexcept { return dc_; }
    [[nodiscard]] std::vector<uint32_t> Pixels() const {
        ::GdiFlush();
        return {bits_, bits_ + static_cast<size_t>(width_) * height_};
    }
    void Fill(uint32_t colour) { std::fill(bits_, bits_ + static_cast<size_t>(width_) * height_, colour); }

private:
    HDC dc_;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    uint32_t* bits_ = nullptr;
    int width_, height_;
};

// The screen's pixels in the rectangle.
std::vector<uint32_t> Grab(const RECT& r) {
    const int w = r.right - r.left, hgt = r.bottom - r.top;
    if (w <= 0 || hgt <= 0) return {};
    ScreenDc screen;
    Canvas canvas(screen.dc, w, hgt);
    ::BitBlt(canvas.Dc(), 0, 0, w, hgt, screen.dc, r.left, r.top, SRCCOPY);
    return canvas.Pixels();
}

void WriteBmp(const std::string& file, const RECT& r) {
    const auto px = Grab(r);
    const int w = r.right - r.left, hgt = r.bottom - r.top;
    if (px.empty()) throw std::runtime_error("could not read the screen");
    const int stride = (w * 3 + 3) & ~3;
    std::string data(static_cast<size_t>(stride) * hgt, '\0');
    for (int y = 0; y < hgt; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t c = px[static_cast<size_t>(hgt - 1 - y) * w + x];  // BMP rows go bottom up
            char* d = &data[static_cast<size_t>(y) * stride + x * 3];
            d[0] = static_cast<char>(c & 0xFF);
            d[1] = static_cast<char>((c >> 8) & 0xFF);
            d[2] = static_cast<char>((c >> 16) & 0xFF);
        }
    BITMAPFILEHEADER fh{};
    BITMAPINFOHEADER ih{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof ih;
    fh.bfSize = static_cast<DWORD>(fh.bfOffBits + data.size());
    ih.biSize = sizeof ih;
    ih.biWidth = w;
    ih.biHeight = hgt;
    ih.biPlanes = 1;
    ih.biBitCount = 24;
    ih.biCompression = BI_RGB;
    ih.biSizeImage = static_cast<DWORD>(data.size());
    std::string bytes(reinterpret_cast<const char*>(&fh), sizeof fh);
    bytes.append(reinterpret_cast<const char*>(&ih), sizeof ih);
    bytes += data;
    platform::WriteFileDurable(platform::U8Path(file), bytes);
}

// The message box's icon as the user sees it: information and question icons are blue,
// warnings yellow, errors red. The icon handle itself cannot be compared across processes.
std::string IconColour(HWND box) {
    const HWND icon = ::GetDlgItem(box, 1088);
    if (!icon || !::IsWindowVisible(icon)) return "none";
    RECT r;
    ::GetWindowRect(icon, &r);
    int red = 0, yellow = 0, blue = 0;
    for (uint32_t c : Grab(r)) {
        const int b = c & 0xFF, g = (c >> 8) & 0xFF, rd = (c >> 16) & 0xFF;
        if (rd > 160 && g < 90 && b < 90) ++red;
        else if (rd > 160 && g > 140 && b < 90) ++yellow;
        else if (b > 140 && rd < 110) ++blue;
    }
    const int most = std::max({red, yellow, blue});
    if (most < 10) return "none";
    return most == red ? "red" : most == yellow ? "yellow" : "blue";
}

// Which of the system's message-box icons is on screen: each is drawn here on the icon
// control's own background and compared pixel by pixel; the closest one wins.
std::string IconKind(HWND box) {
    const HWND icon = ::GetDlgItem(box, 1088);
    if (!icon || !::IsWindowVisible(icon)) return "none";
    RECT r;
    ::GetWindowRect(icon, &r);
    const int w = r.right - r.left, hgt = r.bottom - r.top;
    const auto shown = Grab(r);
    if (shown.empty()) return "none";
    const uint32_t background = shown.front();
    struct Kind {
        LPCWSTR id;
        const char* name;
    };
    const Kind kinds[] = {{IDI_ERROR, "error"}, {IDI_QUESTION, "question"}, {IDI_WARNING, "warning"},
                          {IDI_INFORMATION, "information"}};
    std::string best = "none";
    long long bestDiff = -1;
    ScreenDc screen;
    Canvas canvas(screen.dc, w, hgt);
    for (const auto& k : kinds) {
        canvas.Fill(background);
        ::DrawIconEx(canvas.Dc(), 0, 0, ::LoadIconW(nullptr, k.id), w, hgt, 0, nullptr, DI_NORMAL);
        const auto drawn = canvas.Pixels();
        long long diff = 0;
        for (size_t i = 0; i < shown.size(); ++i)
            for (int shift : {0, 8, 16})
                diff += std::abs(static_cast<int>((shown[i] >> shift) & 0xFF) - static_cast<int>((drawn[i] >> shift) & 0xFF));
        if (bestDiff < 0 || diff < bestDiff) {
            bestDiff = diff;
            best = k.name;
        }
    }
    return best;
}

// ---- commands ------------------------------------------------------------------------------

Obj FocusResult(HWND dialog, long long timeoutMs, HWND notThis) {
    HWND active = nullptr, focus = nullptr;
    WaitFor(timeoutMs, [&] {
        focus = FocusOf(dialog, &active);
        return focus && focus != notThis;
    });
    Obj o = focus ? Describe(focus, true) : Obj().Raw("hwnd", "null");
    o.Num("active", Num(active));
    return o;
}

std::string Run(const std::string& word, const Args& a) {
    Obj ok;
    ok.Bool("ok", true);
    auto with = [&](Obj o) { return "{\"ok\":true," + o.Json().substr(1); };

    if (word == "windows") {
        std::vector<std::string> items;
        for (HWND h : TopWindows(FilterOf(a)))
            items.push_back(Obj().Num("hwnd", Num(h)).Str("class", ClassOf(h)).Str("text", TextOf(h))
                                .Num("pid", PidOf(h)).Json());
        return ok.Raw("windows", Array(items)).Json();
    }
    if (word == "find") {
        const HWND h = FindTop(FilterOf(a), Int(a, "timeout", 5000));
        return ok.Num("hwnd", Num(h)).Num("pid", PidOf(h)).Str("text", TextOf(h)).Str("class", ClassOf(h)).Json();
    }
    if (word == "gone") {
        const auto h = reinterpret_cast<HWND>(static_cast<intptr_t>(Int(a, "hwnd")));
        if (!WaitFor(Int(a, "timeout", 5000), [&] { return !::IsWindow(h); }))
            throw std::runtime_error("window still there");
        return ok.Json();
    }
    if (word == "controls") {
        std::vector<std::string> items;
        for (HWND c : Children(Handle(a))) items.push_back(Describe(c, true).Json());
        return ok.Raw("controls", Array(items)).Json();
    }
    if (word == "info") {
        HWND h = Handle(a);
        if (a.count("id")) {
            h = ::GetDlgItem(h, static_cast<int>(Int(a, "id")));
            if (!h) throw std::runtime_error("no control with that id");
        }
        return with(Describe(h, true));
    }
    if (word == "focus") {
        const auto notThis = reinterpret_cast<HWND>(static_cast<intptr_t>(Int(a, "not", 0)));
        return with(FocusResult(Handle(a), Int(a, "timeout", notThis ? 2000 : 0), notThis));
    }
    if (word == "active") {
        const HWND h = Handle(a);
        AwaitReady(h, Int(a, "timeout", 5000));
        return with(FocusResult(h, 0, nullptr));
    }
    if (word == "key" || word == "type") {
        const HWND h = Handle(a);
        BringForward(h);
        AwaitReady(h, Int(a, "ready", 5000));
        const HWND before = FocusOf(h);
        if (word == "key") {
            std::string keys = Need(a, "keys");
            size_t start = 0;
            while (start < keys.size()) {
                size_t space = keys.find(' ', start);
                if (space == std::string::npos) space = keys.size();
                if (space > start) {
                    PressChord(keys.substr(start, space - start));
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                }
                start = space + 1;
            }
        } else {
            const std::wstring text = win::Widen(Need(a, "text"));
            std::vector<INPUT> inputs;
            for (wchar_t c : text)
                for (bool up : {false, true}) {
                    INPUT in{};
                    in.type = INPUT_KEYBOARD;
                    in.ki.wScan = c;
                    in.ki.dwFlags = KEYEVENTF_UNICODE | (up ? KEYEVENTF_KEYUP : 0);
                    inputs.push_back(in);
                }
            SendAll(inputs);
        }
        // Input is queued to the target's thread; give it time to be handled before reading.
        std::this_thread::sleep_for(std::chrono::milliseconds(Int(a, "settle", 150)));
        if (!::IsWindow(h)) return ok.Raw("focus", "null").Json();
        // With move=1 the keys must take the focus elsewhere: wait for that on a slow machine.
        return ok.Raw("focus", FocusResult(h, Int(a, "move", 0) ? Int(a, "timeout", 3000) : 0,
                                           Int(a, "move", 0) ? before : nullptr).Json()).Json();
    }
    if (word == "click") {
        HWND h = Handle(a);
        if (a.count("id")) {
            h = ::GetDlgItem(h, static_cast<int>(Int(a, "id")));
            if (!h) throw std::runtime_error("no control with that id");
        }
        ::SendNotifyMessageW(h, BM_CLICK, 0, 0);
        return ok.Json();
    }
    if (word == "close") {
        ::PostMessageW(Handle(a), WM_CLOSE, 0, 0);
        return ok.Json();
    }
    if (word == "msgbox") {
        Filter f = FilterOf(a);
        f.cls = "#32770";
        const HWND box = FindTop(f, Int(a, "timeout", 5000));
        // The icon is drawn a moment after the box becomes visible.
        std::string icon;
        WaitFor(1000, [&] { return (icon = IconColour(box)) != "none"; });
        std::vector<std::string> buttons;
        for (HWND c : Children(box)) {
            if (!SameText(ClassOf(c), "Button")) continue;
            const auto style = static_cast<DWORD>(::GetWindowLongPtrW(c, GWL_STYLE));
            buttons.push_back(Obj().Num("id", ::GetDlgCtrlID(c)).Str("text", TextOf(c))
                                  .Bool("default", (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON).Json());
        }
        const HWND textCtl = ::GetDlgItem(box, 0xFFFF);
        return ok.Num("hwnd", Num(box)).Num("pid", PidOf(box)).Str("caption", TextOf(box))
            .Str("text", textCtl ? TextOf(textCtl) : "").Str("icon", icon).Str("icon_kind", IconKind(box))
            .Raw("buttons", Array(buttons)).Json();
    }
    if (word == "clipboard") {
        std::optional<std::string> text;
        if (!WaitFor(2000, [] { return ::OpenClipboard(nullptr) != FALSE; }))
            throw std::runtime_error("clipboard busy");
        struct Closer {
            ~Closer() { ::CloseClipboard(); }
        } closer;
        if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
            if (const auto* p = static_cast<const wchar_t*>(::GlobalLock(data))) {
                text = win::Narrow(p);
                ::GlobalUnlock(data);
            }
        }
        return ok.Raw("text", text ? Quote(*text) : "null").Json();
    }
    if (word == "shot") {
        const RECT r{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
        WriteBmp(Need(a, "file"), r);
        return ok.Num("width", r.right).Num("height", r.bottom).Json();
    }
    if (word == "sleep") {
        std::this_thread::sleep_for(std::chrono::milliseconds(Int(a, "ms")));
        return ok.Json();
    }
    throw std::runtime_error("unknown command '" + word + "'");
}

std::string Execute(const std::string& line) {
    try {
        const auto [word, args] = ParseCommand(line);
        return Run(word, args);
    } catch (const std::exception& e) {
        return Obj().Bool("ok", false).Str("error", e.what()).Json();
    }
}

// One line of standard input without its line end; nullopt at the end of input.
std::optional<std::string> ReadLine() {
    static std::string pending;
    static bool eof = false;
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        const size_t nl = pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (eof) {
            if (pending.empty()) return std::nullopt;
            return std::exchange(pending, {});
        }
        char buf[4096];
        DWORD got = 0;
        if (!::ReadFile(in, buf, sizeof buf, &got, nullptr) || got == 0) eof = true;
        pending.append(buf, got);
    }
}

// ---- the demo dialog ----------------------------------------------------------------------

class TemplateWriter {
public:
    TemplateWriter(const wchar_t* title, short cx, short cy, int count) {
        Dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_CENTER);
        Dword(WS_EX_CONTROLPARENT);
        words_.push_back(static_cast<WORD>(count));
        for (short v : {short(0), short(0), cx, cy}) words_.push_back(static_cast<WORD>(v));
        words_.push_back(0);
        words_.push_back(0);
        Sz(title);
        words_.push_back(8);
        Sz(L"MS Shell Dlg");
    }
    void Item(DWORD style, DWORD exStyle, short x, short y, short cx, short cy, int id, WORD atom,
              const wchar_t* text) {
        if (words_.size() % 2) words_.push_back(0);
        Dword(style | WS_CHILD | WS_VISIBLE);
        Dword(exStyle);
        for (short v : {x, y, cx, cy}) words_.push_back(static_cast<WORD>(v));
        words_.push_back(static_cast<WORD>(id));
        words_.push_back(0xFFFF);
        words_.push_back(atom);
        Sz(text);
        words_.push_back(0);
    }
    [[nodiscard]] const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    void Dword(DWORD v) {
        words_.push_back(LOWORD(v));
        words_.push_back(HIWORD(v));
    }
    void Sz(const wchar_t* s) {
        for (; *s; ++s) words_.push_back(*s);
        words_.push_back(0);
    }
    std::vector<WORD> words_;  // WORD storage from the heap is DWORD-aligned, as the template must be
};

struct Demo {
    bool modal = true;
    int boxAnswer = 0;
    std::string outcome;
};

Demo g_demo;

void DemoFinish(HWND dlg, int result) {
    const HWND colour = ::GetDlgItem(dlg, 102);
    g_demo.outcome = "result " + std::to_string(result) + " name=" + TextOf(::GetDlgItem(dlg, 101)) +
                     " colour=" + std::to_string(::SendMessageW(colour, CB_GETCURSEL, 0, 0)) +
                     " loud=" + std::to_string(::IsDlgButtonChecked(dlg, 104)) +
                     " box=" + std::to_string(g_demo.boxAnswer);
    if (g_demo.modal) ::EndDialog(dlg, result);
    else ::DestroyWindow(dlg);
}

INT_PTR CALLBACK DemoProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG:
            for (const wchar_t* c : {L"Red", L"Green", L"Blue"})
                ::SendDlgItemMessageW(dlg, 102, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(c));
            ::SendDlgItemMessageW(dlg, 102, CB_SETCURSEL, 0, 0);
            for (const wchar_t* c : {L"One", L"Two"})
                ::SendDlgItemMessageW(dlg, 103, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(c));
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK: {
                    const std::wstring name = win::Widen(TextOf(::GetDlgItem(dlg, 101)));
                    g_demo.boxAnswer = ::MessageBoxW(dlg, (L"Name: " + name).c_str(), L"Demo Result",
                                                     MB_OKCANCEL | MB_ICONINFORMATION);
                    if (::OpenClipboard(dlg)) {
                        ::EmptyClipboard();
                        if (HGLOBAL mem = ::GlobalAlloc(GMEM_MOVEABLE, (name.size() + 1) * sizeof(wchar_t))) {
                            if (auto* p = static_cast<wchar_t*>(::GlobalLock(mem))) {
                                std::copy(name.c_str(), name.c_str() + name.size() + 1, p);
                                ::GlobalUnlock(mem);
                                if (!::SetClipboardData(CF_UNICODETEXT, mem)) ::GlobalFree(mem);
                            } else {
                                ::GlobalFree(mem);
                            }
                        }
                        ::CloseClipboard();
                    }
                    DemoFinish(dlg, IDOK);
                    return TRUE;
                }
                case IDCANCEL:
                    DemoFinish(dlg, IDCANCEL);
                    return TRUE;
                case 105:
                    ::MessageBoxW(dlg, L"Careful.", L"Demo Warning", MB_OK | MB_ICONWARNING);
                    return TRUE;
                default:
                    return FALSE;
            }
        case WM_DESTROY:
            if (!g_demo.modal) ::PostQuitMessage(0);
            return FALSE;
        default:
            return FALSE;
    }
}

int RunDemo(bool modal) {
    g_demo.modal = modal;
    TemplateWriter t(L"Driver Demo", 220, 140, 11);
    t.Item(0, 0, 8, 8, 50, 10, -1, 0x82, L"&Name:");
    t.Item(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, WS_EX_CLIENTEDGE, 60, 6, 100, 14, 101, 0x81, L"");
    t.Item(0, 0, 8, 26, 50, 10, -1, 0x82, L"&Colour:");
    t.Item(CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL | WS_TABSTOP, 0, 60, 24, 100, 60, 102, 0x85, L"");
    t.Item(0, 0, 8, 44, 50, 10, -1, 0x82, L"&Takes:");
    t.Item(LBS_NOTIFY | LBS_HASSTRINGS | WS_BORDER | WS_VSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, 60, 42, 100, 30,
           103, 0x83, L"");
    t.Item(BS_GROUPBOX, 0, 54, 70, 112, 26, -1, 0x80, L"&Options");
    t.Item(BS_AUTOCHECKBOX | WS_TABSTOP, 0, 60, 80, 100, 12, 104, 0x80, L"&Loud");
    t.Item(WS_TABSTOP, 0, 8, 118, 50, 14, 105, 0x80, L"&Warn");
    t.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 100, 118, 50, 14, IDOK, 0x80, L"OK");
    t.Item(WS_TABSTOP, 0, 160, 118, 50, 14, IDCANCEL, 0x80, L"Cancel");
    if (modal) {
        if (::DialogBoxIndirectParamW(nullptr, t.Get(), nullptr, DemoProc, 0) <= 0) return 1;
    } else {
        const HWND dlg = ::CreateDialogIndirectParamW(nullptr, t.Get(), nullptr, DemoProc, 0);
        if (!dlg) return 1;
        ::ShowWindow(dlg, SW_SHOW);
        MSG m;
        while (::GetMessageW(&m, nullptr, 0, 0) > 0) {
            if (!::IsDialogMessageW(dlg, &m)) {
                ::TranslateMessage(&m);
                ::DispatchMessageW(&m);
            }
        }
    }
    Console::WriteLine(g_demo.outcome);
    return 0;
}

}  // namespace

int main() {
    Console::Attach();
    const win::ComScope com(COINIT_APARTMENTTHREADED);
    const auto args = win::CommandLineArgs();
    if (args.size() == 2 && args[0] == "--demo") return RunDemo(args[1] == "modal");
    if (!args.empty()) {
        bool allOk = true;
        for (const auto& cmd : args) {
            const std::string result = Execute(cmd);
            allOk = allOk && result.rfind("{\"ok\":true", 0) == 0;
            Console::WriteLine(result);
        }
        return allOk ? 0 : 1;
    }
    while (const auto line = ReadLine()) {
        if (line->find_first_not_of(" \t") == std::string::npos) continue;
        if (*line == "quit") break;
        Console::WriteLine(Execute(*line));
    }
    return 0;
}
