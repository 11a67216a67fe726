#include "ui/folder_picker_win.h"

#include <shobjidl.h>

#include <exception>

#include "app/log.h"
#include "app/platform.h"
#include "app/win_error.h"
#include "app/win_raii.h"

namespace twr {

namespace {

// The published identifiers, spelled out so nothing depends on which ones the import
// libraries happen to define.
constexpr CLSID kClsidFileOpenDialog = {0xDC1C5A9C, 0xE88A, 0x4DDE, {0xA5, 0xA1, 0x60, 0xF8, 0x2A, 0x20, 0xAE, 0xF7}};
constexpr IID kIidFileOpenDialog = {0xD57C7288, 0xD4AD, 0x4768, {0xBE, 0x02, 0x9D, 0x96, 0x95, 0x32, 0xD9, 0x60}};
constexpr IID kIidShellItem = {0x43826D1E, 0xE718, 0x42EE, {0xBC, 0x55, 0xA1, 0xE2, 0x61, 0xC3, 0x7B, 0xFE}};

std::optional<std::string> PickOrThrow(HWND owner, std::string_view title, std::string_view initialFolder) {
    // Declared first so they are released last, after the items the dialog handed out.
    win::com_ptr<IFileOpenDialog> dialog;
    win::com_ptr<IShellItem> folder;
    win::com_ptr<IShellItem> result;
    if (FAILED(::CoCreateInstance(kClsidFileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, kIidFileOpenDialog,
                                  dialog.put_void())))
        return std::nullopt;

    FILEOPENDIALOGOPTIONS options = 0;
    if (FAILED(dialog->GetOptions(&options))) options = 0;
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
    if (!title.empty()) dialog->SetTitle(win::Widen(title).c_str());
    if (!initialFolder.empty() && platform::DirectoryExists(platform::U8Path(initialFolder)) &&
        SUCCEEDED(::SHCreateItemFromParsingName(win::Widen(initialFolder).c_str(), nullptr, kIidShellItem,
                                                folder.put_void())))
        dialog->SetFolder(folder.get());

    // A cancel is a failing HRESULT too.
    if (FAILED(dialog->Show(owner))) return std::nullopt;
    if (FAILED(dialog->GetResult(result.put())) || !result) return std::nullopt;
    win::unique_cotaskmem<wchar_t> name;
    if (FAILED(result->GetDisplayName(SIGDN_FILESYSPATH, name.put())) || !name) return std::nullopt;
    return win::Narrow(name.get());
}

}  // namespace

std::optional<std::string> FolderPicker::Pick(HWND owner, std::string_view title,
                                              std::string_view initialFolder) noexcept {
    try {
        return PickOrThrow(owner, title, initialFolder);
    } catch (const std::exception& e) {
        Log::Warn(std::string("Folder picker failed: ") + e.what());
    } catch (...) {
        Log::Warn("Folder picker failed: unknown error");
    }
    return std::nullopt;
}

}  // namespace twr
