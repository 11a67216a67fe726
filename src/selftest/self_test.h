#pragma once
// --selftest: the formats and rules of every subsystem checked against their fixed values in
// twelve sections, without a window, a device or the network. Each check is a requirement of
// the class it exercises. Prints the section headers, the summary and the failures, writes the
// same text to twr_selftest_report.txt in the temporary folder; exit code 1 when any failed.
//
// Portable except the dialog templates and holding a file open for writing (self_test_win.cpp;
// the native build has no dialogs and no share modes).
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "selftest/suite_harness.h"

namespace twr {

class SelfTest {
public:
    using Samples = std::vector<int16_t>;

    // The folder of reference recordings of the default cues (name + ".wav", 44-byte header,
    // 16-bit mono); empty skips the comparison.
    static inline std::string ReferenceFolder;

    // Creates the scratch folder, runs the sections under one guard, deletes the folder,
    // prints the summary and writes the report. 1 when any check failed, else 0.
    static int Run();

    [[nodiscard]] static bool SameAudio(const Samples& a, const Samples& b) noexcept;
    // Compares a rendered cue with ReferenceFolder/name.wav: its frame count, then every
    // sample; a missing file is the failure "reference <name>.wav not found".
    static void CompareToReference(SuiteHarness& h, std::string_view name, const Samples& samples);
    // The five header checks of one dialog template, each label starting with name.
    static void CheckTemplate(SuiteHarness& h, std::string_view name, const std::vector<uint8_t>& bytes);

    // The sections, in the order Run calls them; each prints its own header.
    static void TestJson(SuiteHarness& h, const std::filesystem::path& scratch);
    static void TestConfig(SuiteHarness& h, const std::filesystem::path& scratch);
    static void TestTimeText(SuiteHarness& h);
    static void TestPercentAndNaming(SuiteHarness& h);
    static void TestRouting(SuiteHarness& h);
    static void TestDurationUnits(SuiteHarness& h);
    static void TestNotificationText(SuiteHarness& h);
    static void TestRf64(SuiteHarness& h, const std::filesystem::path& scratch);
    static void TestRepair(SuiteHarness& h, const std::filesystem::path& scratch);
    static void TestSounds(SuiteHarness& h);
    static void TestUpdater(SuiteHarness& h, const std::filesystem::path& scratch);
    // Builds the templates of the main window and every dialog (templates only: no window, no
    // thread, no COM, no device); Windows build only, the native build prints the header alone.
    static void TestTemplates(SuiteHarness& h);

    // The file created (replacing one there) with the bytes written and held open for writing
    // with reading shared, until the returned owner is dropped.
    [[nodiscard]] static std::shared_ptr<void> HoldForWriting(const std::filesystem::path& path,
                                                              std::string_view bytes);
};

}  // namespace twr
