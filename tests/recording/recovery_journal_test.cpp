#include "recording/recovery_journal.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace twr {
namespace {

using namespace twr::testing;
namespace fs = std::filesystem;

// However the journal ends, the rewrite a kill cut short goes with it; a write leaves none behind.
TEST(RecoveryJournal, NoRewriteOutlivesItsJournal) {
    TempDir dir{"twr_journal"};
    const fs::path journal = RecoveryJournal::PathFor(dir.path());
    const fs::path tmp = RecoveryJournal::TempPathFor(journal);
    EXPECT_EQ(tmp, dir / "active_recording.json.tmp");

    JournalEntry entry;
    entry.CurrentFile = (dir / "rec.wav").string();
    RecoveryJournal::Write(journal, entry);
    EXPECT_EQ(ReadText(journal), RecoveryJournal::ToText(entry));
    EXPECT_FALSE(fs::exists(tmp));

    for (bool withJournal : {true, false}) {
        SCOPED_TRACE(withJournal ? "journal and rewrite" : "rewrite alone");
        if (withJournal) RecoveryJournal::Write(journal, entry);
        WriteText(tmp, "{\"current_file\": ");
        RecoveryJournal::Delete(journal);
        EXPECT_FALSE(fs::exists(journal));
        EXPECT_FALSE(fs::exists(tmp));
    }
}

}  // namespace
}  // namespace twr
