#pragma once
// One helper per error kind, so that every failing platform call is reported with the
// same shape: the fixed text naming the call, then the Windows error where there is one.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/errors.h"

namespace twr::win {

// Throws PlatformError("<text>, error <GetLastError()>").
[[noreturn]] void ThrowLastError(std::string_view text);
[[noreturn]] void ThrowWin32(std::string_view text, DWORD error);
// Throws ComError(text) carrying the HRESULT as its code when hr failed.
void ThrowIfFailed(HRESULT hr, std::string_view text);

// UTF-8 <-> UTF-16 at the platform boundary.
[[nodiscard]] std::wstring Widen(std::string_view utf8);
[[nodiscard]] std::string Narrow(std::wstring_view utf16);
// The process's arguments as UTF-8, without the executable's own name.
[[nodiscard]] std::vector<std::string> CommandLineArgs();
// The system's sentence for a Windows error, without the trailing line break.
[[nodiscard]] std::string SystemMessage(DWORD error);

}  // namespace twr::win
