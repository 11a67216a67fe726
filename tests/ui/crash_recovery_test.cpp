#include "ui/crash_recovery.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/errors.h"
#include "test_support.h"

namespace twr {
namespace {

using namespace twr::testing;
namespace fs = std::filesystem;

std::string JournalText(const std::string& recording) {
    return "{\n    \"session_id\": \"20260101_120000\",\n    \"current_file\": \"" + recording +
           "\",\n    \"frames_committed\": 96000,\n    \"clean_close\": false\n}";
}

// The real file system, with the failures a test needs put in.
class ScriptedFiles final : public RecoveryFiles {
public:
    bool FileExists(const fs::path& p) override { return CrashRecovery::SystemFiles().FileExists(p); }
    bool DirectoryExists(const fs::path& p) override { return CrashRecovery::SystemFiles().DirectoryExists(p); }
    std::vector<Folder> Subfolders(const fs::path& dir) override {
        if (failListing) throw IoError("listing failed");
        return CrashRecovery::SystemFiles().Subfolders(dir);
    }
    std::string ReadPrefix(const fs::path& p, size_t maxBytes) override {
        if (unreadable.count(p)) throw IoError("The process cannot access the file.");
        std::string bytes = CrashRecovery::SystemFiles().ReadPrefix(p, maxBytes);
        largestRead = std::max(largestRead, bytes.size());
        return bytes;
    }
    bool IsInUse(const fs::path& p) override { return inUse.count(p.string()) > 0; }
    void TryDelete(const fs::path& p) noexcept override { CrashRecovery::SystemFiles().TryDelete(p); }

    bool failListing = false;
    std::set<fs::path> unreadable;
    std::set<std::string> inUse;
    size_t largestRead = 0;
};

fs::path TempOf(const fs::path& journal) {
    fs::path tmp = journal;
    tmp += ".tmp";
    return tmp;
}

class CrashRecoveryTest : public ::testing::Test {
protected:
    // A recording and, beside it in dir, a journal naming it.
    fs::path Journaled(const fs::path& dir, const std::string& name = "rec.wav") {
        fs::create_directories(dir);
        WriteText(dir / name, "RF64");
        WriteText(dir / CrashRecovery::kJournalName, JournalText((dir / name).string()));
        return dir / CrashRecovery::kJournalName;
    }
    // The journal's rewrite as a kill left it, half made.
    static fs::path CutShortRewrite(const fs::path& journal, const std::string& recording) {
        const std::string text = JournalText(recording);
        WriteText(TempOf(journal), text.substr(0, text.size() / 2));
        return TempOf(journal);
    }
    std::vector<UnfinishedRecording> Scan() {
        return CrashRecovery::FindUnfinishedRecordings(files_, appData_, save_);
    }

    TempDir root_{"twr_recovery"};
    fs::path appData_ = root_ / "appdata";
    fs::path save_ = root_ / "save";
    ScriptedFiles files_;
    LogCapture log_;
};

TEST_F(CrashRecoveryTest, ScansAppDataThenSaveFolderThenItsFiveNewestSubfolders) {
    std::vector<fs::path> expected{Journaled(appData_), Journaled(save_)};
    // Seven group folders written a minute apart; "g6" is the newest.
    const auto now = fs::file_time_type::clock::now();
    std::vector<fs::path> groups;
    for (int i = 0; i < 7; ++i) {
        groups.push_back(save_ / ("g" + std::to_string(i)));
        Journaled(groups.back());
        fs::last_write_time(groups.back(), now - std::chrono::minutes(10 - i));
    }
    for (int i = 6; i >= 2; --i) expected.push_back(groups[i] / CrashRecovery::kJournalName);

    const auto found = Scan();
    std::vector<fs::path> journals;
    for (const auto& f : found) {
        journals.push_back(f.Journal);
        EXPECT_EQ(f.Recording, (f.Journal.parent_path() / "rec.wav").string());
    }
    EXPECT_EQ(journals, expected);
    EXPECT_TRUE(fs::exists(groups[0] / CrashRecovery::kJournalName));  // not searched, not touched
    EXPECT_EQ(log_.Text(), "");

    // A save folder whose subfolders cannot be listed still has its own journal found.
    files_.failListing = true;
    EXPECT_EQ(Scan().size(), 2u);
    EXPECT_EQ(log_.Text(), "");
    // No save folder on disk: only the application-data journal; the two folders the same: it once.
    fs::remove_all(save_);
    EXPECT_EQ(Scan().size(), 1u);
    EXPECT_EQ(CrashRecovery::FindUnfinishedRecordings(files_, appData_, appData_ / "." / "").size(), 1u);
}

TEST_F(CrashRecoveryTest, EachJournalMeetsItsOwnFate) {
    fs::create_directories(save_);
    const fs::path rec = save_ / "rec.wav";
    WriteText(rec, "RF64");
    const std::string recText = rec.string();
    const std::string big = JournalText(recText) + std::string(CrashRecovery::kMaxJournalBytes, ' ');
    const struct {
        const char* name;
        std::string journal;
        bool offered, kept;
        const char* logLevel;
        std::string logStart;
    } cases[] = {
        {"names the recording", JournalText(recText), true, true, nullptr, ""},
        {"byte-order mark", "\xEF\xBB\xBF" + JournalText(recText), true, true, nullptr, ""},
        {"no current_file", "{\"session_id\": \"x\"}", false, false, nullptr, ""},
        {"empty current_file", JournalText(""), false, false, nullptr, ""},
        {"recording gone", JournalText((save_ / "gone.wav").string()), false, false, nullptr, ""},
        {"malformed", "{\"current_file\": ", false, true, "ERROR", "Failed to process recovery journal: "},
        {"over 1 MiB", big, false, true, "ERROR", "Failed to process recovery journal: The file '"},
        {"held open", JournalText(recText), false, true, "INFO",
         "Skipping recovery prompt: " + recText + " is still open, so a recording is in progress."},
    };
    const fs::path journal = save_ / CrashRecovery::kJournalName;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_.Clear();
        WriteText(journal, c.journal);
        const fs::path tmp = CutShortRewrite(journal, recText);
        files_.inUse.clear();
        if (std::string(c.name) == "held open") files_.inUse.insert(recText);
        const auto found = Scan();
        EXPECT_EQ(found.size(), c.offered ? 1u : 0u);
        EXPECT_EQ(fs::exists(journal), c.kept);
        EXPECT_EQ(fs::exists(tmp), c.kept) << "a journal's rewrite goes with it";
        EXPECT_TRUE(fs::exists(rec));
        if (c.logLevel) EXPECT_TRUE(log_.Has(c.logLevel, c.logStart, false)) << log_.Text();
        else EXPECT_EQ(log_.Text(), "");
    }
    EXPECT_LE(files_.largestRead, CrashRecovery::kMaxJournalBytes + 1);

    // A journal that cannot be read is logged and the scan goes on with the next one.
    files_.inUse.clear();
    Journaled(appData_);
    WriteText(journal, JournalText(recText));
    files_.unreadable.insert(appData_ / CrashRecovery::kJournalName);
    log_.Clear();
    const auto found = Scan();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].Journal, journal);
    EXPECT_TRUE(log_.Has("ERROR", "Failed to process recovery journal: The process cannot access the file.", false));
    EXPECT_TRUE(fs::exists(appData_ / CrashRecovery::kJournalName));
}

// A ".tmp" with no journal beside it is a rewrite, not a journal: it is not offered, and it is left
// alone, since a recording's first journal is written through it.
TEST_F(CrashRecoveryTest, ARewriteWithoutItsJournalIsNeitherOfferedNorTouched) {
    fs::create_directories(save_);
    const fs::path rec = save_ / "rec.wav";
    WriteText(rec, "RF64");
    const fs::path tmp = TempOf(save_ / CrashRecovery::kJournalName);
    for (const std::string& text : {JournalText(rec.string()), JournalText(rec.string()).substr(0, 40)}) {
        WriteText(tmp, text);
        EXPECT_TRUE(Scan().empty());
        EXPECT_EQ(ReadText(tmp), text);
    }
    EXPECT_EQ(log_.Text(), "");
}

class ScriptedPrompter final : public RepairPrompter {
public:
    int Ask(const std::string& recording) override {
        asked.push_back(recording);
        if (onAsk) onAsk();
        if (answers.empty()) throw InvalidOperation("no dialog");
        const int a = answers.front();
        answers.erase(answers.begin());
        return a;
    }
    bool Repair(const std::string& recording) override {
        repaired.push_back(recording);
        return repairWorks;
    }
    void Message(const std::string& text, const std::string& caption, uint32_t flags) override {
        messages.push_back(caption + "|" + std::to_string(flags) + "|" + text);
    }
    std::vector<int> answers;
    bool repairWorks = true;
    std::function<void()> onAsk;
    std::vector<std::string> asked, repaired, messages;
};

TEST_F(CrashRecoveryTest, EachAnswerDecidesTheJournal) {
    const std::string ok = "Repair Successful|64|The audio file was successfully repaired and should now be playable.";
    const std::string bad =
        "Repair Failed|48|Could not repair the audio file. It may be too corrupted or not a valid recording.";
    const struct {
        const char* name;
        int answer;
        bool repairWorks;
        bool repaired, journalKept;
        std::string message;
    } cases[] = {
        {"repair works", 1, true, true, false, ok},
        {"repair fails", 1, false, true, true, bad},
        {"forget", 2, true, false, false, ""},
        {"leave it", 0, true, false, true, ""},
        {"dialog could not open", -1, true, false, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path journal = Journaled(save_);
        const std::string rec = (save_ / "rec.wav").string();
        const fs::path tmp = CutShortRewrite(journal, rec);
        ScriptedPrompter p;
        p.answers = {c.answer};
        p.repairWorks = c.repairWorks;
        CrashRecovery::PromptRepairs(p, files_, {{journal, rec}});
        EXPECT_EQ(p.asked, std::vector<std::string>{rec});
        EXPECT_EQ(p.repaired.size(), c.repaired ? 1u : 0u);
        EXPECT_EQ(p.messages, c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.message});
        EXPECT_EQ(fs::exists(journal), c.journalKept);
        EXPECT_EQ(fs::exists(tmp), c.journalKept);
        EXPECT_EQ(ReadText(save_ / "rec.wav"), "RF64");
    }
}

TEST_F(CrashRecoveryTest, ANewRecordingsJournalSurvivesTheAnswerAndFailuresMoveOn) {
    const fs::path journal = Journaled(save_, "old.wav");
    const std::string old = (save_ / "old.wav").string();
    const std::string fresh = (save_ / "new.wav").string();
    for (int answer : {1, 2}) {
        SCOPED_TRACE(answer);
        WriteText(journal, JournalText(old));
        log_.Clear();
        ScriptedPrompter p;
        p.answers = {answer};
        // While the dialog is open an auto-start begins a recording in the same folder, which is
        // in the middle of its next rewrite when the answer comes.
        p.onAsk = [&] {
            WriteText(journal, JournalText(fresh));
            WriteText(TempOf(journal), JournalText(fresh));
        };
        CrashRecovery::PromptRepairs(p, files_, {{journal, old}});
        EXPECT_EQ(ReadText(journal), JournalText(fresh));
        EXPECT_EQ(ReadText(TempOf(journal)), JournalText(fresh));
        EXPECT_TRUE(log_.Has("INFO", "Recovery journal kept: it now names " + fresh));
    }

    // A failure with one recording is logged and the next is still offered.
    const fs::path second = Journaled(appData_);
    ScriptedPrompter p;
    p.answers = {};
    int asks = 0;
    p.onAsk = [&] {
        if (++asks == 2) p.answers = {2};
    };
    log_.Clear();
    CrashRecovery::PromptRepairs(p, files_, {{journal, fresh}, {second, (appData_ / "rec.wav").string()}});
    EXPECT_EQ(p.asked.size(), 2u);
    EXPECT_TRUE(log_.Has("ERROR", "Failed to process recovery journal: no dialog", false));
    EXPECT_TRUE(fs::exists(journal));
    EXPECT_FALSE(fs::exists(second));
}

}  // namespace
}  // namespace twr
