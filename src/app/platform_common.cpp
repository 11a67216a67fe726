#include "app/platform.h"

namespace twr::platform {

fs::path U8Path(std::string_view utf8) {
    std::u8string s(utf8.begin(), utf8.end());
    return fs::path(s);
}

std::string PathText(const fs::path& path) {
    std::u8string s = path.u8string();
    return std::string(s.begin(), s.end());
}

}  // namespace twr::platform
