#include "update/updater.h"

#include <algorithm>
#include <climits>

#include "app/config.h"
#include "app/errors.h"
#include "app/json.h"
#include "app/log.h"
#include "app/platform.h"
#include "app/unicode.h"
#include "app/version.h"
#include "update/http.h"
#include "update/release_host.h"

namespace twr {

namespace fs = std::filesystem;

namespace {

std::optional<Updater::Services>& Override() {
    static std::optional<Updater::Services> services;
    return services;
}

char LowerAscii(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperAscii(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = LowerAscii(c);
    return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) { return Lower(a) == Lower(b); }

bool EndsWithIgnoreCase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && EqualsIgnoreCase(s.substr(s.size() - suffix.size()), suffix);
}

std::string_view Trim(std::string_view s) noexcept { return unicode::TrimWhiteSpace(s); }

// Lines of a text with CR LF read as LF; a lone CR stays part of its line.
std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string current;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n') {
            lines.push_back(std::move(current));
            current.clear();
        } else {
            current += text[i];
        }
    }
    lines.push_back(std::move(current));
    return lines;
}

// A console line: every CR LF becomes one space.
std::string OneLine(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += ' ';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string Label(std::string_view name) {
    std::string label(name);
    label.resize(std::max<size_t>(label.size(), 11), ' ');
    return label + ": ";
}

fs::path WithSuffix(const fs::path& path, const char* suffix) {
    fs::path out = path;
    out += suffix;
    return out;
}

// Holds Updater::InProgress for the length of an offer or an installation.
class InProgressScope {
public:
    explicit InProgressScope(std::atomic<bool>& flag) : flag_(flag), previous_(flag.exchange(true)) {}
    ~InProgressScope() { flag_.store(previous_); }
    InProgressScope(const InProgressScope&) = delete;
    InProgressScope& operator=(const InProgressScope&) = delete;

private:
    std::atomic<bool>& flag_;
    bool previous_;
};

constexpr const char* kUpdateFailed = "Update Failed";
constexpr const char* kUntouched = "The update could not be installed. Your current version is untouched.\r\n\r\n";

// The checksum and executable addresses come from the release host: the updater refuses anything
// but https itself, before its client is asked, and with the client's own error, so no client it
// is given can make it fetch or install over a plain connection.
std::string Fetch(const Updater::Services& s, const std::string& url, int timeoutSeconds, uint64_t maxBytes) {
    (void)Http::RequireHttps(url);
    return s.get(url, timeoutSeconds, maxBytes);
}

}  // namespace

// ---- Services ---------------------------------------------------------------------------

const Updater::Services& Updater::Current() {
    if (Override()) return *Override();
    static const Services host = HostServices();
    return host;
}

void Updater::SetServicesForTesting(std::optional<Services> services) { Override() = std::move(services); }

// ---- The check --------------------------------------------------------------------------

std::string Updater::ArchSuffix() { return kArchSuffix; }

fs::path Updater::ExePath() {
    fs::path exe = Current().exePath();
    if (!exe.empty()) return exe;
    return Config::AppFolder() / "Tapewright.exe";
}

std::string Updater::FeedUrl() {
    return std::string("https://") + release::kApiHost + "/repos/" + release::kRepository + "/releases/latest";
}

std::string Updater::ReleasePageUrl() {
    return std::string("https://") + release::kWebHost + "/" + release::kRepository + "/releases/latest";
}

std::vector<int> Updater::ParseVersion(std::string_view text) {
    text = Trim(text);
    if (text.empty()) return {0};
    if (text.front() == 'v' || text.front() == 'V') text.remove_prefix(1);
    std::vector<int> parts;
    for (;;) {
        const size_t dot = text.find('.');
        const std::string_view piece = text.substr(0, dot);
        int64_t value = 0;
        size_t i = 0;
        for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
            if (value <= INT_MAX) value = value * 10 + (piece[i] - '0');
        }
        parts.push_back(value > INT_MAX ? 0 : static_cast<int>(value));
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    return parts;
}

int Updater::CompareVersions(std::string_view a, std::string_view b) {
    const std::vector<int> x = ParseVersion(a), y = ParseVersion(b);
    for (size_t i = 0; i < std::max(x.size(), y.size()); ++i) {
        const int p = i < x.size() ? x[i] : 0, q = i < y.size() ? y[i] : 0;
        if (p != q) return p < q ? -1 : 1;
    }
    return 0;
}

std::optional<UpdateInfo> Updater::Check() {
    const Services& s = Current();
    const std::string feedText = Http::DecodeBody(Fetch(s, FeedUrl(), kFeedTimeoutSeconds, Http::kFeedLimit));
    const JsonObject feed = JsonObject::ParseObject(feedText);

    const std::string tag = feed.GetString("tag_name", "");
    if (tag.empty() || CompareVersions(tag, kVersion) <= 0) return std::nullopt;

    const std::string arch = Lower(ArchSuffix());
    std::optional<std::string> exeUrl, checksumUrl;
    int64_t size = 0;
    if (const JsonList* assets = feed.GetRaw("assets").AsList()) {
        for (const JsonValue& entry : *assets) {
            const JsonObject* asset = entry.AsObject();
            if (!asset) continue;
            const std::string name = Lower(asset->GetString("name", ""));
            const std::string url = asset->GetString("browser_download_url", "");
            if (url.empty()) continue;
            if (name.ends_with(".exe") && name.find(arch) != std::string::npos) {
                exeUrl = url;
                size = asset->GetLong("size", 0);
            } else if (name.starts_with("sha256")) {
                checksumUrl = url;
            }
        }
    }
    if (!exeUrl) {
        Log::Warn("Release " + tag + " has no executable for " + ArchSuffix() + ".");
        return std::nullopt;
    }

    std::optional<std::string> hash;
    if (checksumUrl) {
        try {
            const std::string sums =
                Http::DecodeBody(Fetch(s, *checksumUrl, kFeedTimeoutSeconds, Http::kChecksumLimit));
            hash = FindHashFor(sums, ArchSuffix());
        } catch (const std::exception& e) {
            Log::Warn(std::string("Could not read the checksum file: ") + e.what());
        }
    }
    return UpdateInfo{tag, *exeUrl, CleanNotes(feed.GetString("body", "")), hash, size};
}

std::optional<std::string> Updater::FindHashFor(std::string_view text, std::string_view needle) {
    if (text.empty()) return std::nullopt;
    const std::string lowerNeedle = Lower(needle);
    for (const std::string& raw : SplitLines(text)) {
        const std::string_view line = Trim(raw);
        if (line.size() < 64 || Lower(line).find(lowerNeedle) == std::string::npos) continue;
        size_t start = 0;
        while (start <= line.size()) {
            const size_t end = std::min(line.find_first_of(" \t", start), line.size());
            const std::string_view piece = Trim(line.substr(start, end - start));
            if (piece.size() == 64 && IsHex(piece)) {
                std::string upper(piece);
                for (char& c : upper) c = UpperAscii(c);
                return upper;
            }
            start = end + 1;
        }
    }
    return std::nullopt;
}

bool Updater::IsHex(std::string_view text) noexcept {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

std::string Updater::CleanNotes(std::string_view text) {
    std::string out;
    for (std::string line : SplitLines(text)) {
        std::erase(line, '#');
        std::erase(line, '*');
        std::erase(line, '`');
        std::string_view kept = Trim(line);
        if (!kept.empty() && kept.front() == '-') kept = Trim(kept.substr(1));
        if (kept.empty()) continue;
        out += kept;
        out += '\n';
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::optional<UpdateInfo> Updater::CheckQuietly() noexcept {
    try {
        return Check();
    } catch (const std::exception& e) {
        Log::Warn(std::string("Startup update check failed: ") + e.what());
    } catch (...) {
        Log::Warn("Startup update check failed: unknown error");
    }
    return std::nullopt;
}

void Updater::CheckNow(WindowHandle owner) {
    Log::Info("Manual update check triggered");
    try {
        if (const auto info = Check()) {
            Offer(owner, *info);
        } else {
            Current().messageBox(owner,
                                 std::string("You are already on the latest version.\r\n\r\nInstalled version: ") +
                                     kVersion + "\r\nBuild: " + ArchSuffix(),
                                 "Up to Date", kInfoIcon);
        }
    } catch (const std::exception& e) {
        Log::Error(std::string("Failed to check for updates: ") + e.what());
        Current().messageBox(owner, std::string("Failed to check for updates.\r\n\r\n") + e.what(), "Error",
                             kErrorIcon);
    }
}

void Updater::Report(WindowHandle owner, const std::string& text, const std::string& caption, unsigned flags) {
    if (owner) {
        Current().messageBox(owner, text, caption, flags);
        return;
    }
    const std::string line = caption + ": " + OneLine(text);
    Current().writeLine(line);
    Log::Info(line);
}

std::string Updater::GroupDigits(int64_t value, std::string_view separator) {
    const bool negative = value < 0;
    std::string digits = std::to_string(value);
    if (negative) digits.erase(0, 1);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += separator;
        out += digits[i];
    }
    return negative ? "-" + out : out;
}

int Updater::CheckHeadless() {
    const Services& s = Current();
    s.writeLine(Label("Installed") + kVersion + " (" + ArchSuffix() + ")");
    s.writeLine(Label("Feed") + ReleasePageUrl());
    try {
        const auto info = Check();
        if (!info) {
            s.writeLine(Label("Result") + "up to date");
            return 0;
        }
        s.writeLine(Label("Result") + info->Tag + " available");
        s.writeLine(Label("Download") + info->DownloadUrl);
        s.writeLine(Label("Size") + GroupDigits(info->Size, s.groupSeparator()) + " bytes");
        s.writeLine(Label("SHA-256") + info->Sha256.value_or("NOT PUBLISHED - would refuse to install"));
        if (!info->Notes.empty()) {
            s.writeLine("Notes      :");
            for (const std::string& line : SplitLines(info->Notes)) s.writeLine(std::string(13, ' ') + line);
        }
        return 10;
    } catch (const std::exception& e) {
        s.errorLine(std::string("Update check failed: ") + e.what());
        return 1;
    }
}

// ---- Installing -------------------------------------------------------------------------

void Updater::Offer(WindowHandle owner, const UpdateInfo& info) {
    const InProgressScope scope(inProgress_);
    if (Current().showDialog(owner, kVersion, info.Tag, info.Notes) == 1) Apply(owner, info, "");
}

std::string Updater::HandOverArguments(uint32_t processId, std::string_view restartArguments) {
    return std::string(Trim("--finish-update " + std::to_string(processId) + " " + std::string(restartArguments)));
}

void Updater::Apply(WindowHandle owner, const UpdateInfo& info, const std::string& restartArguments) {
    const Services& s = Current();
    const InProgressScope scope(inProgress_);
    fs::path exe, staged, old;
    // What the folder holds when a step fails decides what the report may truthfully say.
    enum class State { Untouched, NewInPlace, ExeMissing } state = State::Untouched;

    // Puts the previous executable back once it was moved aside; with the new file already in
    // place, that file first goes back to the staged name.
    auto putBack = [&](bool newInPlace) {
        if (newInPlace) {
            try {
                s.move(exe, staged);
            } catch (const std::exception& e) {
                Log::Error("Could not move the new executable aside", e);
                return State::NewInPlace;
            }
        }
        try {
            s.move(old, exe);
            return State::Untouched;
        } catch (const std::exception& e) {
            Log::Error("Could not put the previous executable back", e);
        }
        if (newInPlace) {
            try {
                s.move(staged, exe);
                return State::NewInPlace;
            } catch (const std::exception&) {
            }
        }
        return State::ExeMissing;
    };
    auto busy = [&] {
        if (!BusyCheck || !BusyCheck()) return false;
        Log::Warn("Update not installed: a recording is in progress.");
        Report(owner,
               "A recording is in progress, so the update was not installed. Your current version is untouched.",
               kUpdateFailed, kErrorIcon);
        return true;
    };

    try {
        exe = ExePath();
        staged = WithSuffix(exe, ".new");
        old = WithSuffix(exe, ".old-update");
        if (busy()) return;

        s.speak("Downloading update. Please wait.");
        Log::Info("Downloading " + info.DownloadUrl);
        std::string bytes = Fetch(s, info.DownloadUrl, kDownloadTimeoutSeconds, Http::kExecutableLimit);
        if (bytes.size() < kMinimumDownloadBytes)
            throw InvalidOperation("The downloaded file is too small to be the application.");

        if (!info.Sha256 || info.Sha256->empty()) {
            Log::Error("No checksum published for this release; refusing to install.");
            s.speak("Update aborted. No checksum was published.");
            Report(owner,
                   "This release did not publish a checksum, so the download could not be verified and was not "
                   "installed.",
                   kUpdateFailed, kErrorIcon);
            return;
        }
        const std::string computed = s.sha256(bytes);
        if (!EqualsIgnoreCase(computed, *info.Sha256)) {
            Log::Error("Checksum mismatch: expected " + *info.Sha256 + ", got " + computed);
            s.speak("Update failed. The download did not match its checksum.");
            Report(owner,
                   "The downloaded update did not match its published checksum, so it was not installed. Your "
                   "current version is untouched.",
                   kUpdateFailed, kErrorIcon);
            return;
        }
        Log::Info("Checksum verified.");

        (void)CleanupLeftovers(exe.parent_path());
        s.writeDurable(staged, bytes);
        bytes = std::string();
        // What reaches the disk is what gets started: the staged file is read back and must
        // still carry the published digest.
        if (!EqualsIgnoreCase(s.sha256(s.readBytes(staged)), *info.Sha256))
            throw IoError("The update was not written to the disk intact: '" + platform::PathText(staged) + "'.");
        if (s.fileExists(old)) (void)TryDelete(old);
        if (busy()) {
            (void)TryDelete(staged);
            return;
        }

        s.move(exe, old);
        try {
            s.move(staged, exe);
        } catch (const std::exception&) {
            state = putBack(false);
            throw;
        }

        Log::Info("Update staged; relaunching " + info.Tag);
        s.speak("Update installed. Restarting.");
        try {
            s.startProcess(exe, HandOverArguments(s.processId(), restartArguments), exe.parent_path());
        } catch (const std::exception&) {
            state = putBack(true);
            throw;
        }
        s.exitProcess(0);
    } catch (const std::exception& e) {
        Log::Error(std::string("Update failed: ") + e.what(), e);
        // A staged or previous file is never removed while the executable is missing: it is
        // what the user needs to finish or undo the swap by hand.
        if (!exe.empty() && s.fileExists(exe)) (void)TryDelete(staged);
        s.speak("Update failed.");
        std::string text;
        switch (state) {
            case State::Untouched: text = kUntouched; break;
            case State::NewInPlace:
                text = "The new version was installed but could not be started. Start Tapewright again to use "
                       "it.\r\n\r\n";
                break;
            case State::ExeMissing:
                text = "The update could not be installed, and the previous version could not be put back. It "
                       "was kept as " +
                       platform::PathText(old) + "; rename it to " + platform::PathText(exe.filename()) +
                       " to use it again.\r\n\r\n";
                break;
        }
        Report(owner, text + e.what(), kUpdateFailed, kErrorIcon);
    }
}

void Updater::FinishUpdate(int processId) noexcept {
    try {
        const Services& s = Current();
        if (processId > 0) {
            try {
                s.waitForExit(static_cast<uint32_t>(processId), kFinishWaitMillis);
            } catch (...) {
                // Gone already, or not ours to wait for: the sweep below retries anyway.
            }
        }
        const fs::path folder = ExePath().parent_path();
        int left = CleanupLeftovers(folder);
        for (int sweep = 1; left != 0 && sweep < kSweepTries; ++sweep) {
            s.sleep(kSweepPauseMillis);
            left = CleanupLeftovers(folder);
        }
        Log::Info("Update complete; previous executable removed.");
    } catch (const std::exception& e) {
        Log::Warn(std::string("Post-update cleanup had trouble: ") + e.what());
    } catch (...) {
        Log::Warn("Post-update cleanup had trouble: unknown error");
    }
}

int Updater::CleanupLeftovers(const fs::path& folder) noexcept {
    int left = 0;
    try {
        const Services& s = Current();
        if (folder.empty() || !s.directoryExists(folder)) return 0;
        // Exact suffixes, compared here: the platform's wildcards also match 8.3 short names.
        struct Kind {
            const char* suffix;
            size_t ownerCut;  // characters to cut from the name to get the executable's name
        };
        for (const Kind kind : {Kind{".old-update", 11}, Kind{".exe.new", 4}}) {
            for (const std::string& name : s.listFiles(folder)) {
                if (!EndsWithIgnoreCase(name, kind.suffix)) continue;
                const std::string owner = name.substr(0, name.size() - kind.ownerCut);
                // An interrupted swap can be finished or undone by hand only while these exist.
                if (owner.empty() || !s.fileExists(folder / platform::U8Path(owner))) continue;
                if (!TryDelete(folder / platform::U8Path(name))) ++left;
            }
        }
    } catch (const std::exception& e) {
        Log::Warn(std::string("Could not sweep update leftovers: ") + e.what());
    } catch (...) {
        Log::Warn("Could not sweep update leftovers: unknown error");
    }
    return left;
}

int Updater::CleanupOnStartup() noexcept {
    try {
        return CleanupLeftovers(ExePath().parent_path());
    } catch (...) {
        return 0;
    }
}

bool Updater::TryDelete(const fs::path& path) noexcept {
    try {
        const Services& s = Current();
        if (s.fileExists(path)) s.deleteFile(path);
        return true;
    } catch (...) {
        return false;
    }
}

int Updater::UpdateHeadless() {
    try {
        const auto info = Check();
        if (!info) {
            Current().writeLine(std::string("Already up to date (") + kVersion + ").");
            return 0;
        }
        Current().writeLine("Installing " + info->Tag + " over " + kVersion + "...");
        Apply(nullptr, *info, "--version");
        return 1;
    } catch (const std::exception& e) {
        Current().errorLine(std::string("Update failed: ") + e.what());
        return 1;
    }
}

}  // namespace twr
