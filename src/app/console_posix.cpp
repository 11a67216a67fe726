#include <cstdio>

#include "app/console.h"

namespace twr::Console {

void Attach() noexcept {}

void Write(std::string_view text) noexcept {
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void WriteLine(std::string_view text) noexcept {
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void ErrorLine(std::string_view text) noexcept {
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace twr::Console
