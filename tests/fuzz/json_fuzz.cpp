// Feeds arbitrary bytes to the JSON reader. Whatever parses must write and read back as the
// same object, and writing it again must give the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/errors.h"
#include "app/json.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

void RoundTrip(std::string_view text) {
    std::size_t position = 0;
    twr::JsonObject object;
    try {
        object = twr::JsonObject::ParseObject(text, position);
    } catch (const twr::FormatError&) {
        return;
    }
    Check(position <= text.size());
    for (const auto& key : object.Keys()) {
        (void)object.GetString(key, "");
        (void)object.GetInt(key, 0);
        (void)object.GetLong(key, 0);
        (void)object.GetBool(key, false);
    }
    const std::string written = object.ToJson(4);
    std::size_t again = 0;
    const twr::JsonObject reread = twr::JsonObject::ParseObject(written, again);
    Check(again == written.size());
    Check(reread == object);
    Check(reread.ToJson(4) == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    RoundTrip(bytes);
    // The settings file goes through the text decoding first.
    RoundTrip(twr::DecodeFileText(bytes));
    return 0;
}
