#pragma once
// Where releases are published. These are deployment values: the client needs only the feed's
// request path, a JSON object with the fields Updater reads, and downloadable assets over HTTPS.
namespace twr::release {

// The REST API whose media type the Accept header names, and the same service's web site.
inline constexpr const char* kApiHost = "api.github.com";
inline constexpr const char* kWebHost = "github.com";
inline constexpr const char* kRepository = "halvard9/tapewright-win";

}  // namespace twr::release
