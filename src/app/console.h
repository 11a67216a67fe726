#pragma once
// Console output of the command-line tools. The Windows executable is a GUI program: it writes
// through the standard handles it inherited (a pipe, a file, a console) and attaches the parent's
// console only when it has none, so its output reaches both a terminal and a pipe.
#include <string_view>

namespace twr::Console {

// Makes the standard handles usable: keeps inherited ones, else attaches the parent's console.
void Attach() noexcept;
// Writes the text and a line break (CR LF on Windows) to standard output / standard error.
void WriteLine(std::string_view text = {}) noexcept;
void ErrorLine(std::string_view text) noexcept;
void Write(std::string_view text) noexcept;

}  // namespace twr::Console
