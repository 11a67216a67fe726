#include "ui/notifier.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "app/log.h"

namespace twr {

namespace {

// ---- UTF-8 <-> UTF-16: the shell's fields and limits count UTF-16 units -------------------

std::u16string ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        char32_t cp = 0xFFFD;
        size_t need = 0;
        if (b0 < 0x80) cp = b0;
        else if (b0 >= 0xC2 && b0 <= 0xDF) need = 1, cp = b0 & 0x1F;
        else if (b0 >= 0xE0 && b0 <= 0xEF) need = 2, cp = b0 & 0x0F;
        else if (b0 >= 0xF0 && b0 <= 0xF4) need = 3, cp = b0 & 0x07;
        size_t j = i + 1;
        bool ok = true;
        for (size_t k = 0; k < need; ++k, ++j) {
            if (j >= s.size() || (static_cast<unsigned char>(s[j]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(s[j]) & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not text.
        static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kMin[need] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
        i = ok ? j : std::max(j, i + 1);
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

bool IsRunSpace(char16_t c) noexcept { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// White space as the platform's text functions count it: the Unicode separators and the
// control characters tab to carriage return, U+0085.
bool IsWhiteSpace(char16_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

std::u16string Flatten16(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    bool inRun = false;
    for (char16_t c : text) {
        if (IsRunSpace(c)) {
            if (!inRun && !out.empty()) out += u' ';
            inRun = true;
        } else {
            out += c;
            inRun = false;
        }
    }
    while (!out.empty() && IsWhiteSpace(out.back())) out.pop_back();
    return out;
}

void PutU32(NotifyIconRecord& r, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutU64(NotifyIconRecord& r, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) r[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t InfoFlagsFor(int kind) noexcept {
    switch (kind) {
        case 1: return 2;  // NIIF_WARNING
        case 2: return 3;  // NIIF_ERROR
        default: return 1;  // NIIF_INFO
    }
}

struct State {
    std::atomic<void*> owner{nullptr};
    std::string tipTitle;
    std::mutex idLock;  // guards nextId and nothing else
    uint32_t nextId = 1;
    std::shared_ptr<TrayShell> shell;
};

State& S() {
    // Never destroyed: a reaper thread may still run while the process ends.
    static State* s = new State;
    return *s;
}

std::shared_ptr<TrayShell> Shell() {
    auto& s = S();
    if (!s.shell) s.shell = PlatformTrayShell();
    return s.shell;
}

}  // namespace

std::string Notifier::Flatten(std::string_view text) {
    if (text.empty()) return {};
    return ToUtf8(Flatten16(ToUtf16(text)));
}

std::string Notifier::Fit(std::string_view text, int max, std::optional<std::string_view> fullText) {
    if (text.empty()) return {};
    const std::u16string t = ToUtf16(text);
    if (max < 1) return {};
    const size_t limit = static_cast<size_t>(max);
    if (t.size() <= limit) return std::string(text);

    const size_t c = limit - 1;
    size_t cut = limit - 1;
    const size_t sp = t.rfind(u' ', c);
    if (sp != std::u16string::npos && sp >= limit / 2) cut = sp;
    // The two halves of a surrogate pair stay together: the cut moves before the pair.
    if (cut > 0 && t[cut - 1] >= 0xD800 && t[cut - 1] <= 0xDBFF && t[cut] >= 0xDC00 && t[cut] <= 0xDFFF) --cut;

    std::u16string result = t.substr(0, cut);
    while (!result.empty()) {
        const char16_t last = result.back();
        if (last != u' ' && last != u',' && last != u';' && last != u':' && last != u'.') break;
        result.pop_back();
    }
    result += u'\u2026';
    Log::Warn("Notification text truncated to " + std::to_string(max) +
              " characters. Full text: " + Flatten(fullText ? *fullText : text));
    return ToUtf8(result);
}

void Notifier::Copy(uint8_t* field, size_t capacity, std::string_view text) {
    if (capacity == 0) return;
    const std::u16string t = ToUtf16(text);
    const size_t n = std::min(t.size(), capacity - 1);
    for (size_t i = 0; i < n; ++i) {
        field[2 * i] = static_cast<uint8_t>(t[i]);
        field[2 * i + 1] = static_cast<uint8_t>(t[i] >> 8);
    }
    field[2 * n] = 0;
    field[2 * n + 1] = 0;
}

void Notifier::SetOwnerWindow(void* window) noexcept { S().owner.store(window); }

void Notifier::SetTipTitle(std::string title) { S().tipTitle = std::move(title); }

void Notifier::SetShellForTesting(std::shared_ptr<TrayShell> shell) { S().shell = std::move(shell); }

void Notifier::Notify(std::string_view title, std::string_view text, int kind) {
    using L = NotifyIconLayout;
    State& s = S();
    void* const owner = s.owner.load();
    if (!owner) return;

    std::string tip = s.tipTitle;
    if (Flatten(tip).empty()) tip = "Tapewright";
    tip = Flatten(tip);
    const std::string t = Fit(Flatten(title), kTitleMax, title);
    const std::string x = Fit(Flatten(text), kTextMax, text);

    uint32_t id;
    {
        std::lock_guard lock(s.idLock);
        id = s.nextId++;
    }

    const std::shared_ptr<TrayShell> shell = Shell();
    const auto window = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(owner));
    NotifyIconRecord r{};
    PutU32(r, L::kCbSize, L::kSize);
    PutU64(r, L::kWindow, window);
    PutU32(r, L::kId, id);
    PutU32(r, L::kFlags, kIconFlags);
    PutU32(r, L::kCallbackMessage, kCallbackMessage);
    PutU64(r, L::kIcon, shell->ApplicationIcon());
    Copy(r.data() + L::kTip, L::kTipUnits, Fit(tip, kTipMax, tip));
    if (!shell->NotifyIcon(kAdd, r)) {
        Log::Warn("Shell_NotifyIcon(NIM_ADD) failed for notification: " + std::string(title));
        return;
    }

    PutU32(r, L::kFlags, kInfoFlag);
    Copy(r.data() + L::kInfoTitle, L::kInfoTitleUnits, t);
    Copy(r.data() + L::kInfo, L::kInfoUnits, x);
    PutU32(r, L::kInfoFlags, InfoFlagsFor(kind));
    if (!shell->NotifyIcon(kModify, r))
        Log::Warn("Shell_NotifyIcon(NIM_MODIFY) failed for notification: " + std::string(title));

    // The reaper works on its own copy of the window and id; a failed removal is the shell's
    // to clean up, so it is swallowed.
    shell->StartReaper(kReapAfterMs, [shell, window, id] {
        try {
            NotifyIconRecord d{};
            PutU32(d, L::kCbSize, L::kSize);
            PutU64(d, L::kWindow, window);
            PutU32(d, L::kId, id);
            (void)shell->NotifyIcon(kDelete, d);
        } catch (...) {
        }
    });
}

}  // namespace twr
