// A hostile release host: the feed, the checksum file and what the download hashes to all come
// from the input, which holds them one after another, split at lines of "%%". The check and the
// installation run over the in-memory world of the updater's tests. Whatever the host sends:
// a release the check reports carries a non-empty address and either no checksum or 64
// upper-case hex digits, and a release that gets installed was fetched over https from the
// address the check reported and matched a 64-digit checksum. The text rules are fed directly.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "../update/fake_update_world.h"
#include "app/log.h"
#include "app/version.h"
#include "update/http.h"
#include "update/updater.h"

namespace {

using twr::Updater;

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

bool IsUpperHex64(std::string_view s) {
    if (s.size() != 64) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

std::vector<std::string_view> Split(std::string_view input) {
    static constexpr std::string_view kSeparator = "\n%%\n";
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t at = input.find(kSeparator);
        parts.push_back(input.substr(0, at));
        if (at == std::string_view::npos) break;
        input.remove_prefix(at + kSeparator.size());
    }
    return parts;
}

void CheckTextRules(std::string_view a, std::string_view b) {
    for (std::string_view text : {a, b}) {
        const std::vector<int> parts = Updater::ParseVersion(text);
        Require(!parts.empty());
        for (int p : parts) Require(p >= 0);
    }
    Require(Updater::CompareVersions(a, a) == 0);
    Require(Updater::CompareVersions(a, b) == -Updater::CompareVersions(b, a));

    for (const char* needle : {"win-x64", "win-arm64", "win-x86"}) {
        const auto hash = Updater::FindHashFor(b, needle);
        Require(!hash || IsUpperHex64(*hash));
    }

    const std::string notes = Updater::CleanNotes(a);
    Require(notes.find_first_of("#*`") == std::string::npos);
    Require(notes.find("\n\n") == std::string::npos);
    Require(notes.empty() || (notes.front() != '\n' && notes.back() != '\n'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        twr::Log::SetPathForTesting("/dev/null");
        return true;
    }();
    (void)quiet;

    const std::vector<std::string_view> parts = Split({reinterpret_cast<const char*>(data), size});
    const std::string feed(parts[0]);
    const std::string sums(parts.size() > 1 ? parts[1] : std::string_view());
    const std::string claimed(parts.size() > 2 ? parts[2] : std::string_view());
    CheckTextRules(feed, sums);

    const std::string download(twr::Updater::kMinimumDownloadBytes, 'M');
    std::string downloadedFrom;
    twr::testing::FakeUpdateWorld world;
    world.files[world.exe] = "the running build";
    twr::Updater::Services services = world.Make();
    // Serves whatever address it is asked for, any scheme: refusing anything but https is the
    // updater's own duty, which the property below checks. Bodies stay within the caller's limit.
    services.get = [&](const std::string& url, int, uint64_t maxBytes) -> std::string {
        std::string body;
        if (url == Updater::FeedUrl()) body = feed;
        else if (maxBytes == twr::Http::kChecksumLimit) body = sums;
        else if (maxBytes == twr::Http::kExecutableLimit) {
            downloadedFrom = url;
            body = download;
        } else throw twr::IoError("HTTP 404 from " + url);
        if (body.size() > maxBytes) throw twr::IoError("too large");
        return body;
    };
    // The host controls the bytes, so it decides what they hash to.
    services.sha256 = [&](std::string_view bytes) {
        return parts.size() > 2 ? claimed : twr::testing::FakeUpdateWorld::Digest(bytes);
    };
    Updater::SetServicesForTesting(services);

    std::optional<twr::UpdateInfo> info;
    try {
        info = Updater::Check();
    } catch (const std::exception&) {
        // Network and feed errors are the check's to raise.
    }
    if (info) {
        Require(!info->Tag.empty() && Updater::CompareVersions(info->Tag, twr::kVersion) > 0);
        Require(!info->DownloadUrl.empty());
        Require(!info->Sha256 || IsUpperHex64(*info->Sha256));

        bool installed = false;
        try {
            Updater::Apply(nullptr, *info, "");
        } catch (const twr::testing::ProcessEnded& ended) {
            installed = ended.code == 0;
        }
        if (installed) {
            Require(downloadedFrom == info->DownloadUrl);
            bool https = false;
            try {
                https = twr::Http::RequireHttps(downloadedFrom).scheme == "https";
            } catch (const std::exception&) {
            }
            Require(https);
            Require(info->Sha256 && IsUpperHex64(*info->Sha256));
            Require(EqualsIgnoreCase(claimed, *info->Sha256));
            Require(world.files[world.exe] == download);
        } else {
            Require(world.files[world.exe] == "the running build");
        }
    }
    Updater::SetServicesForTesting(std::nullopt);
    return 0;
}
