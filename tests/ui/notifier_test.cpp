#include "ui/notifier.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace twr {
namespace {

using namespace twr::testing;
using L = NotifyIconLayout;

TEST(NotifierFlatten, GivesOneLineWithoutOuterWhiteSpace) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {" \t\r\n ", ""},
        {"  two \r\n\t words  ", "two words"},
        {"trailing\xC2\xA0\xE3\x80\x80", "trailing"},  // no-break and ideographic spaces at the end
        {"\xC2\xA0kept", "\xC2\xA0kept"},               // only space, tab, CR and LF start a run
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Notifier::Flatten(in), out) << in;
}

// A text of n units whose only space stands at spaceAt (none when negative).
std::string Words(size_t n, int spaceAt) {
    std::string s(n, 'x');
    if (spaceAt >= 0) s[static_cast<size_t>(spaceAt)] = ' ';
    return s;
}

TEST(NotifierFit, CutsAtAWordInTheSecondHalfAndLogsTheFullText) {
    LogCapture log;
    const std::string ell = "\xE2\x80\xA6";
    const std::pair<std::string, std::string> cases[] = {
        {Words(300, 200), std::string(200, 'x') + ell},
        {Words(300, 127), std::string(127, 'x') + ell},  // the space at max / 2 still counts
        {Words(300, 126), Words(254, 126) + ell},        // earlier than that: a hard cut
        {Words(300, -1), std::string(254, 'x') + ell},
        {std::string(197, 'x') + ", ." + Words(100, 0), std::string(197, 'x') + ell},
        {std::string(253, 'x') + "\xF0\x9D\x84\x9E" + "yy", std::string(253, 'x') + ell},  // a pair stays whole
        {std::string(252, 'x') + "\xF0\x9D\x84\x9E" + "yy", std::string(252, 'x') + "\xF0\x9D\x84\x9E" + ell},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Notifier::Fit(in, 255), out) << in.size();
    EXPECT_TRUE(log.Has("WARNING", "Notification text truncated to 255 characters. Full text: " + Words(300, 200)));

    // 255 units, "é" counting one each, stand unchanged and log nothing.
    std::string e255;
    for (int i = 0; i < 255; ++i) e255 += "\xC3\xA9";
    log.Clear();
    EXPECT_EQ(Notifier::Fit(e255, 255), e255);
    EXPECT_EQ(log.Text(), "");
    // The logged text is the caller's, flattened.
    (void)Notifier::Fit(std::string(70, 'y'), 63, "line one\r\nline two");
    EXPECT_TRUE(log.Has("WARNING", "Notification text truncated to 63 characters. Full text: line one line two"));
}

// A shell that records what it is given; reapers run when the test says so.
class RecordingShell final : public TrayShell {
public:
    struct Call {
        uint32_t message;
        NotifyIconRecord record;
    };
    uint64_t ApplicationIcon() override { return 0x10003; }
    bool NotifyIcon(uint32_t message, const NotifyIconRecord& record) override {
        calls.push_back({message, record});
        return !(message == Notifier::kAdd && failAdd) && !(message == Notifier::kModify && failModify);
    }
    void StartReaper(uint32_t delayMs, std::function<void()> body) override {
        delays.push_back(delayMs);
        reapers.push_back(std::move(body));
    }
    std::vector<Call> calls;
    std::vector<uint32_t> delays;
    std::vector<std::function<void()>> reapers;
    bool failAdd = false, failModify = false;
};

uint64_t At(const NotifyIconRecord& r, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | r[at + static_cast<size_t>(i)];
    return v;
}

// The zero-terminated UTF-16 field as UTF-8 (ASCII and the ellipsis are enough here).
std::string Field(const NotifyIconRecord& r, size_t at, size_t units) {
    std::string s;
    for (size_t i = 0; i < units; ++i) {
        const auto u = static_cast<char16_t>(At(r, at + 2 * i, 2));
        if (u == 0) return s;
        s += u == 0x2026 ? std::string("\xE2\x80\xA6") : std::string(1, static_cast<char>(u));
    }
    return "<unterminated>";
}

// Every byte outside the named fields is zero.
bool OthersZero(const NotifyIconRecord& r, std::vector<std::pair<size_t, size_t>> used) {
    for (size_t i = 0; i < r.size(); ++i) {
        bool inside = false;
        for (auto [at, len] : used) inside |= i >= at && i < at + len;
        if (!inside && r[i] != 0) return false;
    }
    return true;
}

class NotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        Notifier::SetShellForTesting(shell_);
        Notifier::SetOwnerWindow(kWindow);
        Notifier::SetTipTitle("My Recorder");
    }
    void TearDown() override {
        shell_->reapers.clear();  // each holds the shell
        Notifier::SetOwnerWindow(nullptr);
        Notifier::SetTipTitle("");
        Notifier::SetShellForTesting(nullptr);
    }
    inline static void* const kWindow = reinterpret_cast<void*>(uintptr_t{0x7F001234});
    std::shared_ptr<RecordingShell> shell_ = std::make_shared<RecordingShell>();
    LogCapture log_;
};

TEST_F(NotifierTest, AddsModifiesAndReapsItsOwnIcon) {
    Notifier::Notify("Recording\r\nSaved", "Saved to\tD:\\rec.wav  ", 1);
    ASSERT_EQ(shell_->calls.size(), 2u);
    const auto& add = shell_->calls[0];
    EXPECT_EQ(add.message, Notifier::kAdd);
    const NotifyIconRecord& a = add.record;
    EXPECT_EQ(At(a, L::kCbSize, 4), 976u);
    EXPECT_EQ(At(a, L::kWindow, 8), 0x7F001234u);
    const uint64_t id = At(a, L::kId, 4);
    EXPECT_EQ(At(a, L::kFlags, 4), 7u);
    EXPECT_EQ(At(a, L::kCallbackMessage, 4), 0x8064u);
    EXPECT_EQ(At(a, L::kIcon, 8), 0x10003u);
    EXPECT_EQ(Field(a, L::kTip, L::kTipUnits), "My Recorder");

    const auto& mod = shell_->calls[1];
    EXPECT_EQ(mod.message, Notifier::kModify);
    const NotifyIconRecord& m = mod.record;
    EXPECT_EQ(At(m, L::kId, 4), id);
    EXPECT_EQ(At(m, L::kFlags, 4), 0x10u);
    EXPECT_EQ(Field(m, L::kInfoTitle, L::kInfoTitleUnits), "Recording Saved");
    EXPECT_EQ(Field(m, L::kInfo, L::kInfoUnits), "Saved to D:\\rec.wav");
    EXPECT_EQ(At(m, L::kInfoFlags, 4), 2u);
    EXPECT_TRUE(OthersZero(m, {{0, 40}, {L::kTip, 256}, {L::kInfo, 512}, {L::kInfoTitle, 128}, {L::kInfoFlags, 4}}));

    ASSERT_EQ(shell_->reapers.size(), 1u);
    EXPECT_EQ(shell_->delays[0], 10000u);
    shell_->reapers[0]();
    ASSERT_EQ(shell_->calls.size(), 3u);
    EXPECT_EQ(shell_->calls[2].message, Notifier::kDelete);
    const NotifyIconRecord& d = shell_->calls[2].record;
    EXPECT_EQ(At(d, L::kCbSize, 4), 976u);
    EXPECT_EQ(At(d, L::kWindow, 8), 0x7F001234u);
    EXPECT_EQ(At(d, L::kId, 4), id);
    EXPECT_TRUE(OthersZero(d, {{0, 20}}));
    EXPECT_EQ(log_.Text(), "");
}

TEST_F(NotifierTest, KindsTipsCutsAndIds) {
    // Kinds 0, 1, 2 and anything else give NIIF_INFO, NIIF_WARNING, NIIF_ERROR, NIIF_INFO; ids never repeat.
    const std::pair<int, uint32_t> kinds[] = {{0, 1}, {1, 2}, {2, 3}, {3, 1}, {-1, 1}};
    std::set<uint64_t> ids;
    for (const auto& [kind, flags] : kinds) {
        Notifier::Notify("t", "x", kind);
        EXPECT_EQ(At(shell_->calls.back().record, L::kInfoFlags, 4), flags) << kind;
        ids.insert(At(shell_->calls.back().record, L::kId, 4));
    }
    EXPECT_EQ(ids.size(), 5u);

    // Blank titles fall back to the product's name; every field is cut by Fit to fit its size.
    for (const char* blank : {"", " \t ", "\xC2\xA0"}) {
        shell_->calls.clear();
        Notifier::SetTipTitle(blank);
        Notifier::Notify("t", "x", 0);
        EXPECT_EQ(Field(shell_->calls.at(0).record, L::kTip, L::kTipUnits), "Tapewright") << blank;
    }
    shell_->calls.clear();
    Notifier::SetTipTitle(std::string(200, 'T'));
    Notifier::Notify(std::string(100, 'h'), std::string(300, 'b'), 0);
    const auto& m = shell_->calls.at(1).record;
    EXPECT_EQ(Field(m, L::kTip, L::kTipUnits), std::string(126, 'T') + "\xE2\x80\xA6");
    EXPECT_EQ(Field(m, L::kInfoTitle, L::kInfoTitleUnits), std::string(62, 'h') + "\xE2\x80\xA6");
    EXPECT_EQ(Field(m, L::kInfo, L::kInfoUnits), std::string(254, 'b') + "\xE2\x80\xA6");
    for (int max : {127, 63, 255})
        EXPECT_TRUE(log_.Has("WARNING", "Notification text truncated to " + std::to_string(max) + " characters.", false));
}

TEST_F(NotifierTest, DroppedOrFailedNotificationsAreLoggedNotThrown) {
    // Before the main window exists nothing reaches the shell, silently.
    Notifier::SetOwnerWindow(nullptr);
    Notifier::Notify("Recording Started", "text", 0);
    EXPECT_TRUE(shell_->calls.empty());
    EXPECT_EQ(log_.Text(), "");

    Notifier::SetOwnerWindow(kWindow);
    shell_->failAdd = true;
    Notifier::Notify("Drive\nLost", "x", 2);
    EXPECT_EQ(shell_->calls.size(), 1u);
    EXPECT_TRUE(shell_->reapers.empty());
    EXPECT_TRUE(log_.Has("WARNING", "Shell_NotifyIcon(NIM_ADD) failed for notification: Drive\nLost"));

    shell_->failAdd = false;
    shell_->failModify = true;
    Notifier::Notify("Split", "x", 0);
    EXPECT_EQ(shell_->calls.size(), 3u);
    EXPECT_EQ(shell_->reapers.size(), 1u);  // the icon still goes after ten seconds
    EXPECT_TRUE(log_.Has("WARNING", "Shell_NotifyIcon(NIM_MODIFY) failed for notification: Split"));
}

}  // namespace
}  // namespace twr
