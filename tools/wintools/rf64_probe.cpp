// Test driver: exercises the recording writer, verification and repair on the real platform
// file system, where the share modes matter.
//   rf64_probe <folder>   prints one "ok <check>" or "FAIL <check>: <detail>" line per check;
//                         exit code 0 when every check passed. Leaves "probe.wav" (closed,
//                         1000 stereo 24-bit frames at 48000 Hz) and "cut.wav" (repaired) behind.
#include <windows.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/errors.h"
#include "app/platform.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "recording/rf64_writer.h"
#include "recording/wav_file.h"

namespace {

int failures = 0;

void Check(bool ok, const std::string& what, const std::string& detail = {}) {
    if (!ok) ++failures;
    twr::Console::WriteLine((ok ? "ok " : "FAIL ") + what + (ok || detail.empty() ? "" : ": " + detail));
}

// Whether another process could open the file with this access and sharing right now.
DWORD TryOpen(const std::filesystem::path& p, DWORD access, DWORD share) {
    twr::win::unique_hfile h(::CreateFileW(p.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
    return h ? ERROR_SUCCESS : ::GetLastError();
}

}  // namespace

int main() {
    using namespace twr;
    Console::Attach();
    const auto args = win::CommandLineArgs();
    if (args.size() != 1) {
        Console::ErrorLine("usage: rf64_probe <folder>");
        return 2;
    }
    const auto dir = platform::U8Path(args[0]);
    const auto path = dir / "probe.wav";
    try {
        std::vector<float> samples(2000);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(std::sin(0.01 * i));
        {
            Rf64Writer w(path, 48000, 2, 24);
            w.Write(samples, 0, samples.size());
            w.UpdateSizes();
            Check(TryOpen(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE) == ERROR_SUCCESS,
                  "readers may open a recording in progress");
            Check(TryOpen(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE) == ERROR_SHARING_VIOLATION,
                  "writers may not open a recording in progress");
            Check(TryOpen(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) ==
                      ERROR_SHARING_VIOLATION,
                  "a recording in progress cannot be deleted");
            Check(WavFile::Verify(path, 2, 48000), "verify while the writer holds the file");
            Check(!WavFile::Repair(path), "repair refuses a file the writer holds");
            Check(platform::FileSize(path).value_or(0) == 6080, "repair left the held file alone");
            try {
                Rf64Writer clash(path, 48000, 2, 24);
                Check(false, "a second writer on the same name fails");
            } catch (const IoError& e) {
                Check(platform::FileSize(path).value_or(0) == 6080, "a second writer on the same name fails", e.what());
            }
            w.Close();
        }
        Check(platform::FileSize(path).value_or(0) == 6080, "closed file length");
        Check(WavFile::Verify(path, 2, 48000), "verify the closed file");
        Check(!WavFile::Verify(path, 2, 44100), "verify rejects another rate");

        // A recording cut off by a crash: the header as created and the samples after it.
        const auto cut = dir / "cut.wav";
        auto bytes = Rf64Writer::BuildHeader(44100, 1, 16);
        bytes.resize(80 + 2 * 4410 + 1, 0x11);
        platform::WriteFileDurable(cut, std::string(bytes.begin(), bytes.end()));
        Check(!WavFile::Verify(cut, 0, 0), "an unfinished recording does not verify");
        Check(WavFile::Repair(cut), "repair an unfinished recording");
        Check(WavFile::Verify(cut, 1, 44100), "the repaired recording verifies");
        Check(!platform::FileExists(std::filesystem::path(cut.wstring() + L".backup")), "no backup left after success");
    } catch (const std::exception& e) {
        Check(false, "unexpected failure", FullText(e));
    }
    return failures == 0 ? 0 : 1;
}
