// Throughput of Rf64Writer against libsndfile writing the same RF64 recording: stereo 48 kHz
// float blocks of 480 frames, a size update every 2 s of audio, at 16, 24 and 32 bits.
// The folder written to is TWR_BENCH_DIR when set, else the temporary folder.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/platform.h"
#include "recording/rf64_writer.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr size_t kBlockFrames = 480;
constexpr int kSeconds = 60;
constexpr size_t kBlocks = static_cast<size_t>(kSeconds) * kRate / kBlockFrames;
constexpr size_t kBlocksPerUpdate = 2 * kRate / kBlockFrames;

// One second of a stereo signal with all sorts of values, reused block after block.
const std::vector<float>& Signal() {
    static const std::vector<float> s = [] {
        std::vector<float> v(static_cast<size_t>(kRate) * kChannels);
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(0.9 * std::sin(i * 0.0031) + 0.05 * std::sin(i * 1.7));
        return v;
    }();
    return s;
}

fs::path BenchFile(const char* name) {
    const char* dir = std::getenv("TWR_BENCH_DIR");
    return (dir ? fs::path(dir) : fs::temp_directory_path()) /
           (std::string("twr_bench_") + std::to_string(twr::platform::ProcessId()) + "_" + name + ".wav");
}

const float* Block(size_t b) {
    const size_t perSecond = kRate / kBlockFrames;
    return Signal().data() + (b % perSecond) * kBlockFrames * kChannels;
}

void BM_Rf64Writer(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    const auto path = BenchFile("rf64writer");
    const std::span<const float> all(Signal());
    for (auto _ : state) {
        fs::remove(path);
        twr::Rf64Writer w(path, kRate, kChannels, bits);
        for (size_t b = 0; b < kBlocks; ++b) {
            const size_t offset = static_cast<size_t>(Block(b) - all.data());
            w.Write(all, offset, kBlockFrames * kChannels);
            if ((b + 1) % kBlocksPerUpdate == 0) {
                w.Flush();
                w.UpdateSizes();
            }
        }
        w.Close();
    }
    fs::remove(path);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBlocks * kBlockFrames));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlocks * kBlockFrames * kChannels * bits / 8));
}

void BM_Libsndfile(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    const int subtype = bits == 16 ? SF_FORMAT_PCM_16 : bits == 24 ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_32;
    const auto path = BenchFile("libsndfile");
    for (auto _ : state) {
        fs::remove(path);
        SF_INFO info{};
        info.samplerate = kRate;
        info.channels = kChannels;
        info.format = SF_FORMAT_RF64 | subtype;
        // Opened here so that the finished file can be forced to the disk like the writer's is
        // in Close; otherwise the comparison would set durable writes against cached ones.
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        SNDFILE* f = fd >= 0 ? sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE) : nullptr;
        if (!f) {
            if (fd >= 0) ::close(fd);
            state.SkipWithError(sf_strerror(nullptr));
            return;
        }
        // Same clipping as the writer (libsndfile wraps out-of-range floats otherwise).
        sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        for (size_t b = 0; b < kBlocks; ++b) {
            sf_writef_float(f, Block(b), kBlockFrames);
            if ((b + 1) % kBlocksPerUpdate == 0) sf_command(f, SFC_UPDATE_HEADER_NOW, nullptr, 0);
        }
        sf_close(f);
        ::fsync(fd);
        ::close(fd);
    }
    fs::remove(path);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBlocks * kBlockFrames));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlocks * kBlockFrames * kChannels * bits / 8));
}

BENCHMARK(BM_Rf64Writer)->Arg(16)->Arg(24)->Arg(32)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Libsndfile)->Arg(16)->Arg(24)->Arg(32)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The console report plus, at the end, how many times libsndfile's throughput the writer reaches.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                seconds_[r.benchmark_name()] = r.real_accumulated_time / static_cast<double>(r.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nRf64Writer throughput relative to libsndfile sf_writef_float (RF64):\n");
        for (int bits : {16, 24, 32}) {
            const auto own = seconds_.find("BM_Rf64Writer/" + std::to_string(bits) + "/min_time:2.000");
            const auto ref = seconds_.find("BM_Libsndfile/" + std::to_string(bits) + "/min_time:2.000");
            if (own == seconds_.end() || ref == seconds_.end() || own->second <= 0) continue;
            std::printf("  %d-bit: %.2fx (%.1f ms vs %.1f ms per %d s of stereo audio)\n", bits,
                        ref->second / own->second, own->second * 1e3, ref->second * 1e3, kSeconds);
        }
    }

private:
    std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
