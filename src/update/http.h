#pragma once
// A minimal HTTPS client: one blocking GET that hands back the whole body. No state between
// calls, no cache, no retries; only a completed 2xx response is a success. The transfer itself
// is WinHTTP (http_win.cpp); what can be decided without the network is portable and tested.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace twr {

class Http {
public:
    static constexpr uint32_t kReadBufferBytes = 65536;
    static constexpr const char* kAcceptHeader = "Accept: application/vnd.github+json\r\n";

    // Every caller names the largest body it accepts, so a wrong or hostile server cannot make
    // the program hold more than that in memory.
    static constexpr uint64_t kFeedLimit = 1024 * 1024;
    static constexpr uint64_t kChecksumLimit = 64 * 1024;
    static constexpr uint64_t kExecutableLimit = 256ull * 1024 * 1024;

    // The body of a 2xx response. Throws InvalidOperation for a scheme other than https,
    // FormatError for a malformed address, IoError for a failed exchange, a status outside
    // 200-299 or a body larger than maxBytes. Windows build only.
    [[nodiscard]] static std::string Get(const std::string& url, int timeoutSeconds, uint64_t maxBytes);
    // Get's bytes as UTF-8 text without leading byte-order marks.
    [[nodiscard]] static std::string GetString(const std::string& url, int timeoutSeconds, uint64_t maxBytes);

    // ---- The decisions of a request, reachable by the tests -------------------------------
    struct Address {
        std::string scheme;  // lower case
        std::string host;
        std::optional<int> port;  // as written
        std::string path;    // begins with "/"
        std::string query;   // "" or begins with "?"
    };
    // Parses an absolute address; throws FormatError when it is not one.
    [[nodiscard]] static Address ParseAddress(const std::string& url);
    // The parsed address of a request; throws InvalidOperation unless the scheme is https.
    [[nodiscard]] static Address RequireHttps(const std::string& url);
    [[nodiscard]] static int PortFor(const Address& a) noexcept { return a.port.value_or(443); }
    [[nodiscard]] static uint32_t TimeoutMillis(int timeoutSeconds) noexcept;
    [[nodiscard]] static std::string FailText(std::string_view api, int32_t lastError);
    [[nodiscard]] static std::string StatusText(uint32_t status, const Address& a);
    [[nodiscard]] static std::string TooLargeText(const Address& a, uint64_t maxBytes);
    // UTF-8 with invalid sequences as U+FFFD and every leading U+FEFF removed.
    [[nodiscard]] static std::string DecodeBody(std::string_view bytes);
};

}  // namespace twr
