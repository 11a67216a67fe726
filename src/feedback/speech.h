#pragma once
// The system's only voice: short announcements handed to the NVDA screen reader through its
// controller-client library. The executable carries that library (and its licence) and
// unpacks it into the application-data folder; once bound, each announcement goes to NVDA
// while NVDA runs and is dropped silently otherwise. Nothing here ever fails its caller.
//
// Called on the interface thread (or a console tool's main thread) only: the state is written
// once by Init, before any announcement, and read afterwards.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace twr {

class Speech {
public:
    // The controller client's two entry points, however they were bound. testIfRunning answers
    // 0 while NVDA runs; speakText answers 0 when NVDA accepted the text (UTF-8 here; the
    // binding hands it over as UTF-16) and returns without waiting for the speech.
    struct Client {
        std::function<int()> testIfRunning;
        std::function<int(std::string_view)> speakText;
    };

    // One place the library is looked for. A bare name is left to the system loader's search.
    struct Candidate {
        std::filesystem::path path;
        bool bareName = false;
    };

    // What loading depends on. Host() gives the real one: the executable's resources, its
    // folder, the application-data folder and the platform loader.
    struct Platform {
        std::string architecture;
        std::filesystem::path exeFolder;
        // The bytes of an embedded resource (names ignore case), or nullopt when there is none.
        std::function<std::optional<std::string_view>(std::string_view name)> resource;
        // Where the library is unpacked; may throw when the folder cannot be made.
        std::function<std::filesystem::path()> appDataDir;
        // Loads a candidate and binds both exports; nullopt (with the module released) when it
        // does not load or lacks an export.
        std::function<std::optional<Client>(const Candidate&)> bind;
    };

    static constexpr const char* kLibraryResource = "nvdaControllerClient.dll";
    static constexpr const char* kLicenceName = "NVDA-controllerClient-LICENSE.txt";

    // Consulted by Speak alone, on every call; empty means always speak. The main window
    // installs it at start-up; nobody clears it.
    static inline std::function<bool()> Gate;

    // Loads and binds the controller client once per process and logs the backend. Later
    // calls do nothing, also after a failure: unbound is final.
    static void Init();
    static void Init(const Platform& platform);
    [[nodiscard]] static Platform Host();

    [[nodiscard]] static bool IsBound() noexcept;
    // Asks NVDA afresh; false when nothing is bound or the call fails in any way.
    [[nodiscard]] static bool NvdaRunning() noexcept;
    [[nodiscard]] static std::string Describe();
    // Speaks unless the gate says no. Only an exception from the gate itself passes out.
    static void Speak(std::string_view text);
    // Speaks regardless of the gate; never throws.
    static void SpeakRaw(std::string_view text) noexcept;

    // The steps of loading, reachable by the tests.
    [[nodiscard]] static std::string DescribeText(bool bound, bool running);
    // "nvdaControllerClient" + architecture + ".dll".
    [[nodiscard]] static std::string LibraryFileName(std::string_view architecture);
    // The five places in order of trial; an empty path stands for one that does not exist.
    [[nodiscard]] static std::vector<Candidate> Candidates(const std::filesystem::path& exeFolder,
                                                           const std::optional<std::filesystem::path>& unpacked,
                                                           std::string_view architecture);
    // Unpacks the embedded library into the application-data folder when the copy there is
    // missing or differs, and writes the licence beside a fresh copy. The path of the library
    // to load, or nullopt when nothing is embedded or unpacking failed.
    [[nodiscard]] static std::optional<std::filesystem::path> Unpack(const Platform& platform);
    static void WriteLicence(const std::filesystem::path& folder, const Platform& platform) noexcept;
    // Binds the first candidate that loads with both exports; false when none does.
    static bool LoadNvda(const std::vector<Candidate>& candidates, const Platform& platform);

    // Back to the state of a new process (gate included).
    static void ResetForTesting();
};

}  // namespace twr
