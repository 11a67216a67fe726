#pragma once
// The base of every window of the program: it builds the window's template, creates the
// dialog modal or modeless with a dialog procedure bound to the instance, and hands the
// dialog's messages to a few virtual operations.
//
// The instance is found through the dialog's DWLP_USER slot, which belongs to this class:
// derived windows must not use it. No exception ever unwinds through the dialog manager:
// whatever escapes an operation goes to Program::FatalExit (log line, error box, exit 1).
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace twr {

class DialogBase {
public:
    virtual ~DialogBase();
    DialogBase(const DialogBase&) = delete;
    DialogBase& operator=(const DialogBase&) = delete;

    // The value the dialog gave EndDialog; -1 or 0 when it could not be created.
    INT_PTR ShowModal(HWND owner);
    // OnInit has run when this returns; the window is not shown yet (no WS_VISIBLE).
    // Throws InvalidOperation "CreateDialogIndirectParam failed, error <n>" when creation fails.
    HWND CreateModeless(HWND owner);

    // Set by the first message the dialog receives (WM_SETFONT comes before WM_INITDIALOG) and
    // kept after the window is destroyed.
    [[nodiscard]] HWND Handle() const noexcept { return handle_; }

    // The template as the window would be created from it now (the self-test reads it too).
    [[nodiscard]] virtual std::vector<uint8_t> BuildTemplate() = 0;

    void Text(int id, std::string_view text);
    void Enable(int id, bool enabled);
    // An error box owned by the dialog (MB_ICONERROR, OK).
    void Critical(std::string_view text, std::string_view caption);

    // The value given to End, once it was called. A modeless host reads it: EndDialog only
    // hides a modeless dialog and keeps its result to itself.
    [[nodiscard]] std::optional<INT_PTR> EndResult() const noexcept { return endResult_; }

protected:
    DialogBase() = default;

    virtual void OnInit() = 0;
    // id is the low word of wParam, code the high word.
    virtual bool OnCommand(int id, int code) = 0;
    virtual bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, INT_PTR& result);
    virtual void OnDestroy() {}
    // EndDialog with the result, remembered for EndResult.
    void End(INT_PTR result);

private:
    static INT_PTR CALLBACK Thunk(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) noexcept;
    INT_PTR DialogProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

    HWND handle_ = nullptr;
    bool modeless_ = false;
    std::optional<INT_PTR> endResult_;
};

}  // namespace twr
