#include "ui/notifier.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "app/log.h"
#include "app/unicode.h"
#include "ui/utf16.h"

namespace twr {

namespace {

bool IsRunSpace(char16_t c) noexcept { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

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
    while (!out.empty() && unicode::IsWhiteSpace(out.back())) out.pop_back();
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
    return Utf16::ToUtf8(Flatten16(Utf16::FromUtf8(text)));
}

std::string Notifier::Fit(std::string_view text, int max, std::optional<std::string_view> fullText) {
    if (text.empty()) return {};
    const std::u16string t = Utf16::FromUtf8(text);
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
    return Utf16::ToUtf8(result);
}

void Notifier::Copy(uint8_t* field, size_t capacity, std::string_view text) {
    if (capacity == 0) return;
    const std::u16string t = Utf16::FromUtf8(text);
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
    // to clean up, so it is swallowed. A reaper that cannot even start (no thread to be had)
    // leaves the icon until the program ends, which is better than failing the caller.
    try {
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
    } catch (...) {
    }
}

}  // namespace twr
