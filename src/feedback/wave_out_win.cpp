#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "app/errors.h"
#include "app/threads.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "feedback/wave_out.h"

namespace twr {

namespace {

inline void HeapFreeFn(void* p) noexcept { ::HeapFree(::GetProcessHeap(), 0, p); }
// Heap blocks never move, so the device may keep pointers into them while it plays.
using unique_heap = win::unique_any<void*, HeapFreeFn>;

unique_heap HeapBlock(std::size_t bytes) {
    unique_heap block(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, std::max<std::size_t>(bytes, 1)));
    if (!block) throw std::bad_alloc();
    return block;
}

// One buffer on its own device handle. The caller's thread fills it in before the reaper
// starts; from then on the reaper alone uses it, so it needs no lock.
struct Playback {
    std::vector<int16_t> samples;
    win::unique_event done;
    unique_heap header;
    HWAVEOUT device = nullptr;
    unique_heap data;
    int sampleRate = 0;

    Playback() = default;
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;
    ~Playback() { Cleanup(); }

    [[nodiscard]] WAVEHDR* Header() const noexcept { return static_cast<WAVEHDR*>(header.get()); }

    // The device is reset and closed before the memory it reads is freed, so a buffer still
    // playing is cut off rather than read after release. Safe to run again.
    void Cleanup() noexcept {
        if (device) {
            ::waveOutReset(device);
            if (header) ::waveOutUnprepareHeader(device, Header(), sizeof(WAVEHDR));
            ::waveOutClose(device);
            device = nullptr;
        }
        header.reset();
        data.reset();
        done.reset();
    }
};

void Reap(Playback& p) noexcept {
    try {
        using Clock = std::chrono::steady_clock;
        const int64_t limitMs = WaveOut::ReaperLimitMs(p.samples.size(), p.sampleRate);
        const auto start = Clock::now();
        const volatile DWORD* flags = &p.Header()->dwFlags;
        for (;;) {
            const int64_t elapsedMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            if (elapsedMs >= limitMs) break;
            // The device signals the event when it opens as well as when it finishes. Resetting
            // it before looking at the flags means a completion after the look signals it
            // again, so the wait cannot miss the end and a playing cue costs no CPU.
            ::ResetEvent(p.done.get());
            if (*flags & WHDR_DONE) break;
            ::WaitForSingleObject(p.done.get(), static_cast<DWORD>(std::min<int64_t>(50, limitMs - elapsedMs)));
        }
    } catch (...) {
        // Whatever went wrong, the clean-up below still releases the device.
    }
    p.Cleanup();
}

}  // namespace

void WaveOut::PlayAsync(std::vector<int16_t> samples, int sampleRate, int channels, int deviceNumber) {
    auto playback = std::make_shared<Playback>();
    Playback& p = *playback;
    p.samples = std::move(samples);
    p.sampleRate = sampleRate;
    p.done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!p.done) win::ThrowLastError("CreateEventW");

    const std::size_t bytes = p.samples.size() * sizeof(int16_t);
    if (bytes > MAXDWORD) throw InvalidArgument("The buffer is too long for the waveform output.");

    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = static_cast<WORD>(channels);
    format.nSamplesPerSec = static_cast<DWORD>(sampleRate);
    format.nAvgBytesPerSec = static_cast<DWORD>(sampleRate) * 2 * static_cast<DWORD>(channels);
    format.nBlockAlign = static_cast<WORD>(2 * channels);
    format.wBitsPerSample = 16;
    format.cbSize = 0;
    HWAVEOUT device = nullptr;
    if (channels <= 0 || sampleRate <= 0 ||
        ::waveOutOpen(&device, static_cast<UINT>(deviceNumber), &format,
                      reinterpret_cast<DWORD_PTR>(p.done.get()), 0, CALLBACK_EVENT) != MMSYSERR_NOERROR) {
        return;  // No device or a refused format: the cue is silently dropped.
    }
    p.device = device;

    p.data = HeapBlock(bytes);
    if (bytes) std::memcpy(p.data.get(), p.samples.data(), bytes);
    p.header = HeapBlock(sizeof(WAVEHDR));
    WAVEHDR* header = p.Header();
    header->lpData = static_cast<LPSTR>(p.data.get());
    header->dwBufferLength = static_cast<DWORD>(bytes);

    // A refused buffer is dropped silently; the playback's owner releases everything on return.
    if (::waveOutPrepareHeader(p.device, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) return;
    if (::waveOutWrite(p.device, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) return;

    try {
        StartNamedThread("SoundReaper", [playback] { Reap(*playback); }).detach();
    } catch (...) {
        // The device is reading the buffer now: stop it before anything is freed.
        p.Cleanup();
        throw;
    }
}

int WaveOut::FindDevice(std::string_view name) {
    const std::wstring wanted = win::Widen(name);
    const UINT count = ::waveOutGetNumDevs();
    for (UINT i = 0; i < count; ++i) {
        WAVEOUTCAPSW caps{};
        if (::waveOutGetDevCapsW(i, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
        // Every name contains the empty text.
        if (wanted.empty() || ::FindStringOrdinal(FIND_FROMSTART, caps.szPname, -1, wanted.c_str(),
                                                  static_cast<int>(wanted.size()), TRUE) >= 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace twr
