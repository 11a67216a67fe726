#include "app/program.h"

#include <climits>

#include "app/json.h"
#include "app/version.h"

namespace twr {

const std::vector<std::string>& Program::ConsoleOptions() {
    static const std::vector<std::string> options = {
        "--selftest", "--uitest", "--captest", "--signaltest", "--speech", "--config",
        "--checkupdate", "--update", "--timing", "--sounds", "--devices", "--version"};
    return options;
}

std::optional<int> Program::ParseInt32(const std::string& text) {
    int64_t value = 0;
    if (!TryParseInvariantInt64(text, value) || value < INT_MIN || value > INT_MAX) return std::nullopt;
    return static_cast<int>(value);
}

CommandLine Program::Parse(const std::vector<std::string>& args) {
    CommandLine cl;
    const size_t n = args.size();
    // The last argument is never looked at: no process id could follow it.
    for (size_t i = 0; i + 1 < n; ++i) {
        if (args[i] == "--finish-update") {
            cl.finishUpdatePid = ParseInt32(args[i + 1]).value_or(0);
            break;
        }
    }
    const auto& options = ConsoleOptions();
    for (size_t i = 0; i < n; ++i) {
        bool isOption = false;
        for (const auto& o : options) isOption = isOption || args[i] == o;
        if (!isOption) continue;
        cl.tool = args[i];
        if (cl.tool == "--selftest" && i + 1 < n) {
            const std::string& next = args[i + 1];
            if (next.empty() || next[0] != '-') cl.referenceFolder = next;
        }
        break;
    }
    for (const auto& a : args) cl.say = cl.say || a == "say";
    return cl;
}

std::string Program::VersionLine() { return std::string(kVersion) + " (" + kArchSuffix + ")"; }

}  // namespace twr
