#include <chrono>
#include <fstream>
#include <iostream>
#include <thread>

#include "app/errors.h"
#include "app/platform.h"
#include "update/http.h"
#include "update/updater.h"

namespace twr {

namespace fs = std::filesystem;

// The native build's stand-ins: real files, no network, digest or processes. The tests
// replace them wholesale with their own.
Updater::Services Updater::HostServices() {
    Services s;
    s.get = [](const std::string& url, int timeout, uint64_t maxBytes) { return Http::Get(url, timeout, maxBytes); };
    s.sha256 = [](std::string_view) -> std::string { throw InvalidOperation("No SHA-256 in this build."); };
    s.exePath = [] { return platform::ExePath(); };
    s.fileExists = [](const fs::path& p) { return platform::FileExists(p); };
    s.directoryExists = [](const fs::path& p) { return platform::DirectoryExists(p); };
    s.listFiles = [](const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            if (!entry.is_directory()) names.push_back(platform::PathText(entry.path().filename()));
        return names;
    };
    s.writeDurable = [](const fs::path& p, std::string_view bytes) { platform::WriteFileDurable(p, bytes); };
    s.readBytes = [](const fs::path& p) { return platform::ReadFileBytes(p); };
    s.move = [](const fs::path& from, const fs::path& to) {
        if (fs::exists(to)) throw IoError("Cannot move over an existing file: '" + platform::PathText(to) + "'.");
        fs::rename(from, to);
    };
    s.deleteFile = [](const fs::path& p) { platform::DeleteFileIfExists(p); };
    s.startProcess = [](const fs::path& exe, const std::string&, const fs::path&) {
        throw InvalidOperation("Cannot start '" + platform::PathText(exe) + "' in this build.");
    };
    s.exitProcess = [](int code) { std::exit(code); };
    s.processId = [] { return platform::ProcessId(); };
    s.waitForExit = [](uint32_t, int) { throw InvalidOperation("No process waits in this build."); };
    s.sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    s.speak = [](std::string_view) {};
    s.messageBox = [](WindowHandle, const std::string&, const std::string&, unsigned) {};
    s.showDialog = [](WindowHandle, const std::string&, const std::string&, const std::string&) { return 0; };
    s.writeLine = [](std::string_view line) { std::cout << line << '\n'; };
    s.errorLine = [](std::string_view line) { std::cerr << line << '\n'; };
    s.groupSeparator = [] { return std::string(","); };
    return s;
}

}  // namespace twr
