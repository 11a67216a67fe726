#pragma once
// --captest: one real recording from the command line, end to end, and checks of what came out
// of it (session counters, every file written, the captured duration against the run time).
// The harness is portable; only entering the COM apartment is platform code.
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace twr {

struct CaptureTestOptions {
    std::optional<std::string> device;
    std::optional<std::string> device2;
    int buffer = 2048;
    int rate = 48000;
    int bits = 24;
    int channels = 2;
    int split = 0;
    bool keep = false;
    int seconds = 4;
};

class CaptureTest {
public:
    // Parses, records, checks, writes the report; returns the exit code (0 or 1). An argument
    // error is one "Error: " line on standard error and 1, before anything is recorded.
    static int Run(const std::vector<std::string>& args);

    // Throws InvalidArgument with the problem ("Missing value after --rate", "--bits must be 16,
    // 24 or 32", ...) for an option without a value or a value out of range.
    [[nodiscard]] static CaptureTestOptions ParseArguments(const std::vector<std::string>& args);
    // The value after the option at position (advancing it); InvalidArgument when there is none.
    static const std::string& Next(const std::vector<std::string>& args, size_t& position);

    // The apartment-threaded COM scope of the calling thread (nothing natively).
    [[nodiscard]] static std::shared_ptr<void> EnterApartment();
};

}  // namespace twr
