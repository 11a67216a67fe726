#pragma once
// The system's common file dialog in folder-picking mode, for choosing the save folder.
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace twr {

class FolderPicker {
public:
    // The chosen folder's file-system path, or nullopt when the user cancels or anything fails
    // (logged as a warning). Never throws; shows no message box. title and initialFolder may be
    // empty; an initial folder that does not exist is ignored. Interface thread (a COM STA) only.
    [[nodiscard]] static std::optional<std::string> Pick(HWND owner, std::string_view title,
                                                         std::string_view initialFolder) noexcept;
};

}  // namespace twr
