#include "app/errors.h"
#include "update/http.h"

namespace twr {

// The native build has no network stack of its own; the updater's tests inject theirs.
std::string Http::Get(const std::string& url, int, uint64_t) {
    (void)RequireHttps(url);
    throw IoError("No HTTPS client in this build: " + url);
}

std::string Http::GetString(const std::string& url, int timeoutSeconds, uint64_t maxBytes) {
    return DecodeBody(Get(url, timeoutSeconds, maxBytes));
}

}  // namespace twr
