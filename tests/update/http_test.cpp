#include <gtest/gtest.h>

#include "app/errors.h"
#include "update/http.h"

namespace twr {
namespace {

TEST(HttpAddress, OnlyHttpsIsAcceptedBeforeAnythingIsOpened) {
    for (const char* url : {"http://example.com/x", "ftp://example.com/x", "file:///C:/x"}) {
        try {
            (void)Http::RequireHttps(url);
            ADD_FAILURE() << url;
        } catch (const InvalidOperation& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Only https is supported: ") + url);
        }
    }
    for (const char* url : {"", "api.example.com/x", "https//x", "https://", "https://host:99999/", "https://h:8a/",
                            "1https://x/"})
        EXPECT_THROW((void)Http::RequireHttps(url), FormatError) << url;
}

TEST(HttpAddress, PortsPathsAndQueries) {
    const struct { const char* url; const char* host; int port; const char* path; const char* query; } cases[] = {
        {"HTTPS://Example.com", "Example.com", 443, "/", ""},
        {"https://example.com:443/a/b", "example.com", 443, "/a/b", ""},
        {"https://example.com:8443/a?x=1&y=2#frag", "example.com", 8443, "/a", "?x=1&y=2"},
        {"https://user@example.com?q", "example.com", 443, "/", "?q"},
        {"https://[::1]:444/v6", "[::1]", 444, "/v6", ""},
    };
    for (const auto& c : cases) {
        const Http::Address a = Http::RequireHttps(c.url);
        EXPECT_EQ(a.scheme, "https") << c.url;
        EXPECT_EQ(a.host, c.host) << c.url;
        EXPECT_EQ(Http::PortFor(a), c.port) << c.url;
        EXPECT_EQ(a.path, c.path) << c.url;
        EXPECT_EQ(a.query, c.query) << c.url;
    }
    // The status error names the host and the path, never the query.
    const Http::Address a = Http::RequireHttps("https://example.com/repos/x?token=secret");
    for (uint32_t status : {199u, 300u, 304u, 404u, 500u})
        EXPECT_EQ(Http::StatusText(status, a), "HTTP " + std::to_string(status) + " from example.com/repos/x");
}

TEST(HttpRequest, TimeoutsAndFailureTexts) {
    EXPECT_EQ(Http::TimeoutMillis(0), 1000u);
    EXPECT_EQ(Http::TimeoutMillis(-5), 1000u);
    EXPECT_EQ(Http::TimeoutMillis(30), 30000u);
    EXPECT_EQ(Http::FailText("WinHttpSendRequest", 12175), "WinHttpSendRequest failed (Win32 error 12175)");
    EXPECT_EQ(Http::FailText("WinHttpOpen", -1), "WinHttpOpen failed (Win32 error -1)");
}

TEST(HttpBody, DecodedAsUtf8WithoutLeadingMarks) {
    const struct { std::string bytes; std::string text; } cases[] = {
        {"\xEF\xBB\xBF{\"a\":1}", "{\"a\":1}"},
        {"\xEF\xBB\xBF", ""},
        {"\xEF\xBB\xBF\xEF\xBB\xBFx", "x"},
        {"a\xEF\xBB\xBF", "a\xEF\xBB\xBF"},
        {"\xFF\xFEx", "\xEF\xBF\xBD\xEF\xBF\xBDx"},  // not UTF-16: invalid UTF-8
        {"caf\xC3\xA9 \xC3", "caf\xC3\xA9 \xEF\xBF\xBD"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Http::DecodeBody(c.bytes), c.text);
}

}  // namespace
}  // namespace twr
