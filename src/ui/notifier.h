#pragma once
// Tray notifications. There is no permanent tray icon: every notification adds a temporary icon
// of its own, turns it into a balloon, and a "NotifyReaper" thread removes it ten seconds later.
// Texts are flattened to one line and cut to the shell's fixed fields at a word boundary; every
// cut is logged with the full text. Called on the interface thread only. Portable: the shell is
// reached through `TrayShell`, so the record the shell receives is checked byte by byte natively.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace twr {

// NOTIFYICONDATAW as the 64-bit shell reads it (x64 and ARM64 alike), little-endian. The
// Windows side checks every offset here against the platform header at compile time.
struct NotifyIconLayout {
    static constexpr size_t kSize = 976;
    static constexpr size_t kCbSize = 0;            // 32-bit
    static constexpr size_t kWindow = 8;            // 64-bit window handle
    static constexpr size_t kId = 16;               // 32-bit
    static constexpr size_t kFlags = 20;            // 32-bit
    static constexpr size_t kCallbackMessage = 24;  // 32-bit
    static constexpr size_t kIcon = 32;             // 64-bit icon handle
    static constexpr size_t kTip = 40;              // 128 UTF-16 units
    static constexpr size_t kInfo = 304;            // 256 UTF-16 units
    static constexpr size_t kInfoTitle = 820;       // 64 UTF-16 units
    static constexpr size_t kInfoFlags = 948;       // 32-bit
    static constexpr size_t kTipUnits = 128;
    static constexpr size_t kInfoUnits = 256;
    static constexpr size_t kInfoTitleUnits = 64;
};
using NotifyIconRecord = std::array<uint8_t, NotifyIconLayout::kSize>;

// The shell as `Notifier` uses it.
class TrayShell {
public:
    virtual ~TrayShell() = default;
    // The stock application icon (LoadIconW(null, IDI_APPLICATION)).
    virtual uint64_t ApplicationIcon() = 0;
    // Shell_NotifyIconW with NIM_ADD, NIM_MODIFY or NIM_DELETE; true on success.
    virtual bool NotifyIcon(uint32_t message, const NotifyIconRecord& record) = 0;
    // Runs body on a background thread named "NotifyReaper" after delayMs; the thread is not
    // joined, so an icon younger than the delay is left to the shell when the process ends.
    virtual void StartReaper(uint32_t delayMs, std::function<void()> body) = 0;
};

class Notifier {
public:
    // Shell_NotifyIconW messages.
    static constexpr uint32_t kAdd = 0, kModify = 1, kDelete = 2;
    // NIF_MESSAGE | NIF_ICON | NIF_TIP for the icon; NIF_INFO for the balloon.
    static constexpr uint32_t kIconFlags = 7, kInfoFlag = 0x10;
    static constexpr uint32_t kCallbackMessage = 0x8064;
    static constexpr uint32_t kReapAfterMs = 10000;
    static constexpr int kTitleMax = 63, kTextMax = 255, kTipMax = 127;

    // Shows one balloon: kind 0 information, 1 warning, 2 error (anything else information).
    // Before an owner window is published nothing is shown. Never throws for a shell failure.
    static void Notify(std::string_view title, std::string_view text, int kind);

    // Published by the main window: its handle when it is created (null until then) and its
    // title then and after each settings dialog; the title becomes the icon's tip.
    static void SetOwnerWindow(void* window) noexcept;
    static void SetTipTitle(std::string title);

    // One line: runs of space, tab, CR and LF become one space; white space at both ends goes.
    [[nodiscard]] static std::string Flatten(std::string_view text);
    // The text cut to at most `max` UTF-16 units, at the last space in the second half of the
    // field when there is one, with trailing " ,;:." dropped and "…" appended; never between the
    // two halves of a surrogate pair. A cut is logged as a warning with Flatten(fullText), the
    // text itself when fullText is absent.
    [[nodiscard]] static std::string Fit(std::string_view text, int max,
                                         std::optional<std::string_view> fullText = std::nullopt);
    // Writes min(units, capacity - 1) UTF-16 units of the text into a fixed field of `capacity`
    // units, little-endian, and a zero unit after them.
    static void Copy(uint8_t* field, size_t capacity, std::string_view text);

    // Replaces the shell (tests); null goes back to the platform's.
    static void SetShellForTesting(std::shared_ptr<TrayShell> shell);
};

// The platform's shell (notifier_win.cpp; a stand-in whose calls fail in the native build).
[[nodiscard]] std::shared_ptr<TrayShell> PlatformTrayShell();

}  // namespace twr
