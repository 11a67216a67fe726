#include "update/http.h"

#include <algorithm>

#include "app/errors.h"
#include "app/json.h"

namespace twr {

namespace {

char Lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsSchemeChar(char c, bool first) noexcept {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first) return alpha;
    return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

[[noreturn]] void Malformed(const std::string& url) {
    throw FormatError("Invalid address: '" + url + "' is not a valid absolute address.");
}

}  // namespace

Http::Address Http::ParseAddress(const std::string& url) {
    Address a;
    const size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0) Malformed(url);
    for (size_t i = 0; i < colon; ++i) {
        if (!IsSchemeChar(url[i], i == 0)) Malformed(url);
        a.scheme += Lower(url[i]);
    }
    if (url.compare(colon, 3, "://") != 0) Malformed(url);
    const size_t authStart = colon + 3;
    const size_t authEnd = std::min(url.find_first_of("/?#", authStart), url.size());
    std::string authority = url.substr(authStart, authEnd - authStart);
    if (const size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);

    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) Malformed(url);
        a.host = authority.substr(0, close + 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') Malformed(url);
            portText = authority.substr(close + 2);
        }
    } else if (const size_t pc = authority.find(':'); pc != std::string::npos) {
        a.host = authority.substr(0, pc);
        portText = authority.substr(pc + 1);
    } else {
        a.host = authority;
    }
    // Addresses of other schemes may name no host (file:///C:/x); they are refused by scheme.
    const bool web = a.scheme == "https" || a.scheme == "http";
    if ((web && a.host.empty()) || a.host.find_first_of(" \t\r\n\\") != std::string::npos) Malformed(url);
    if (!portText.empty()) {
        if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), [](char c) {
                return c >= '0' && c <= '9';
            }))
            Malformed(url);
        const int port = std::stoi(portText);
        if (port > 65535) Malformed(url);
        a.port = port;
    }

    const size_t fragment = std::min(url.find('#', authEnd), url.size());
    const std::string rest = url.substr(authEnd, fragment - authEnd);
    const size_t q = rest.find('?');
    a.path = rest.substr(0, q);
    if (q != std::string::npos) a.query = rest.substr(q);
    if (a.path.empty()) a.path.push_back('/');
    return a;
}

Http::Address Http::RequireHttps(const std::string& url) {
    Address a = ParseAddress(url);
    if (a.scheme != "https") throw InvalidOperation("Only https is supported: " + url);
    // The default port of the scheme, written or not, is the same request.
    if (a.port == 443) a.port.reset();
    return a;
}

uint32_t Http::TimeoutMillis(int timeoutSeconds) noexcept {
    return static_cast<uint32_t>(std::max(1, timeoutSeconds)) * 1000u;
}

std::string Http::FailText(std::string_view api, int32_t lastError) {
    return std::string(api) + " failed (Win32 error " + std::to_string(lastError) + ")";
}

std::string Http::StatusText(uint32_t status, const Address& a) {
    return "HTTP " + std::to_string(status) + " from " + a.host + a.path;
}

std::string Http::TooLargeText(const Address& a, uint64_t maxBytes) {
    return "The response from " + a.host + a.path + " is larger than " + std::to_string(maxBytes) +
           " bytes and was not accepted.";
}

std::string Http::DecodeBody(std::string_view bytes) {
    // The file-text decoder reads UTF-8 once it has dropped a UTF-8 mark; giving it one makes
    // a body that begins like a UTF-16 mark decode as the invalid UTF-8 it is.
    std::string text = DecodeFileText("\xEF\xBB\xBF" + std::string(bytes));
    size_t marks = 0;
    while (text.compare(marks, 3, "\xEF\xBB\xBF") == 0) marks += 3;
    text.erase(0, marks);
    return text;
}

}  // namespace twr
