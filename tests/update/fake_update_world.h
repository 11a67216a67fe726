#pragma once
// An in-memory world for the updater: files beside the executable, a web of addresses, a
// process table, speech and message boxes, each with the failures a real machine can have.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/errors.h"
#include "update/updater.h"

namespace twr::testing {

// Thrown by the fake exitProcess: not a std::exception, so no handler of the updater takes it.
struct ProcessEnded {
    int code;
};

class FakeUpdateWorld {
public:
    std::string exe = "/app/Tapewright.exe";
    std::map<std::string, std::string> files;  // path -> bytes
    std::set<std::string> dirs{"/app"};
    std::map<std::string, std::string> web;  // address -> body; a missing address is a 404
    std::set<std::string> failMoveFrom, locked;
    bool failWrite = false, corruptWrite = false, failStart = false, failList = false, failWait = false;
    int dialogAnswer = 1;

    std::vector<std::string> out, err, spoken, boxes, fetched;
    std::vector<std::string> started;  // "exe|arguments|folder"
    int sleeps = 0, lists = 0;
    std::string separator = ",";

    // A stand-in digest: 64 upper-case hex digits that change with every byte.
    static std::string Digest(std::string_view bytes) {
        std::string hex;
        for (uint64_t seed : {1469598103934665603ull, 7ull, 11ull, 13ull}) {
            uint64_t h = seed;
            for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
            static constexpr char kHex[] = "0123456789ABCDEF";
            for (int i = 60; i >= 0; i -= 4) hex += kHex[(h >> i) & 15];
        }
        return hex;
    }

    bool Has(const std::string& path) const { return files.count(path) != 0; }

    Updater::Services Make() {
        namespace fs = std::filesystem;
        Updater::Services s;
        s.get = [this](const std::string& url, int, uint64_t) {
            fetched.push_back(url);
            auto it = web.find(url);
            if (it == web.end()) throw IoError("HTTP 404 from " + url);
            return it->second;
        };
        s.sha256 = [](std::string_view bytes) { return Digest(bytes); };
        s.exePath = [this] { return fs::path(exe); };
        s.fileExists = [this](const fs::path& p) { return Has(p.generic_string()); };
        s.directoryExists = [this](const fs::path& p) { return dirs.count(p.generic_string()) != 0; };
        s.listFiles = [this](const fs::path& folder) {
            ++lists;
            if (failList) throw IoError("listing refused");
            std::vector<std::string> names;
            for (const auto& [path, bytes] : files)
                if (fs::path(path).parent_path() == folder) names.push_back(fs::path(path).filename().string());
            return names;
        };
        s.writeDurable = [this](const fs::path& p, std::string_view bytes) {
            if (failWrite) throw IoError("There is not enough space on the disk.");
            files[p.generic_string()] = corruptWrite ? std::string(bytes.size(), '\0') : std::string(bytes);
        };
        s.readBytes = [this](const fs::path& p) { return files.at(p.generic_string()); };
        s.move = [this](const fs::path& from, const fs::path& to) {
            const std::string f = from.generic_string(), t = to.generic_string();
            if (failMoveFrom.count(f) || !Has(f) || Has(t)) throw IoError("Could not move '" + f + "'");
            files[t] = files[f];
            files.erase(f);
        };
        s.deleteFile = [this](const fs::path& p) {
            if (locked.count(p.generic_string())) throw IoError("The file is in use.");
            files.erase(p.generic_string());
        };
        s.startProcess = [this](const fs::path& e, const std::string& args, const fs::path& folder) {
            if (failStart) throw IoError("Could not start '" + e.generic_string() + "'");
            started.push_back(e.generic_string() + "|" + args + "|" + folder.generic_string());
        };
        s.exitProcess = [](int code) { throw ProcessEnded{code}; };
        s.processId = [] { return 4242u; };
        s.waitForExit = [this](uint32_t, int) {
            if (failWait) throw InvalidOperation("no such process");
        };
        s.sleep = [this](int) { ++sleeps; };
        s.speak = [this](std::string_view t) { spoken.emplace_back(t); };
        s.messageBox = [this](WindowHandle, const std::string& text, const std::string& caption, unsigned flags) {
            boxes.push_back(caption + "|" + std::to_string(flags) + "|" + text);
        };
        s.showDialog = [this](WindowHandle, const std::string& current, const std::string& tag,
                              const std::string& notes) {
            boxes.push_back("dialog|" + current + "|" + tag + "|" + notes);
            return dialogAnswer;
        };
        s.writeLine = [this](std::string_view l) { out.emplace_back(l); };
        s.errorLine = [this](std::string_view l) { err.emplace_back(l); };
        s.groupSeparator = [this] { return separator; };
        return s;
    }
};

// Installs a world's services for the length of a test.
class UpdateWorldScope {
public:
    explicit UpdateWorldScope(FakeUpdateWorld& world) { Updater::SetServicesForTesting(world.Make()); }
    ~UpdateWorldScope() {
        Updater::SetServicesForTesting(std::nullopt);
        Updater::BusyCheck = nullptr;
    }
    UpdateWorldScope(const UpdateWorldScope&) = delete;
    UpdateWorldScope& operator=(const UpdateWorldScope&) = delete;
};

}  // namespace twr::testing
