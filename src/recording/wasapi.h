#pragma once
// The audio endpoints a user may record from and the capture stream opened on one of them.
// This header is portable: the WASAPI implementation lives in wasapi_win.cpp (its COM-facing
// class in wasapi_win.h); the native build links a stand-in that has no endpoints, so code
// above this layer (readers, the writer loop, watchers) is tested with fake streams.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace twr {

// One selectable input. Created only by the enumeration and never changed afterwards.
struct AudioDevice {
    // The endpoint id string; the settings keys device_id and device2_id store it.
    std::string Id;
    // The endpoint's friendly name, or "Unknown Device" when it has none.
    std::string Name;
    // A playback endpoint offered as a loopback input.
    bool IsLoopback = false;

    // "Output (Loopback): " or "Input: " followed by Name.
    [[nodiscard]] std::string DisplayName() const;
};

// One open capture stream, as the readers see it. Confined to the thread that opened it.
class AudioStream {
public:
    virtual ~AudioStream() = default;

    // Writes 0 to count samples (not frames) into buffer from index offset on and returns how
    // many; never blocks. Throws InvalidArgument when offset + count lies outside the buffer and
    // ComError when the platform refuses ("GetNextPacketSize failed", "GetBuffer failed",
    // "ReleaseBuffer failed").
    [[nodiscard]] virtual int Read(std::span<float> buffer, int offset, int count) = 0;
    // Event mode: true when data was signalled within the time-out. Polling mode: sleeps for the
    // time-out and returns true.
    virtual bool WaitForData(int timeoutMs) = 0;
    // The platform signals an event for each ready packet (else the reader polls).
    [[nodiscard]] virtual bool EventDriven() const noexcept = 0;
    // Frames the platform discarded since the last call because they were not read in time (its
    // capture buffer overflowed while the reader was held up); 0 when it tells of none.
    [[nodiscard]] virtual uint64_t TakeDiscardedFrames() noexcept { return 0; }
    // Stops the stream and releases everything; safe to call again.
    virtual void Dispose() noexcept = 0;
};

class Wasapi {
public:
    // Every active capture endpoint in the system's order, then every active playback endpoint
    // as a loopback input. Throws ComError "Could not create MMDeviceEnumerator" when the
    // enumerator cannot be created; endpoints that cannot be read are left out. The calling
    // thread must have initialised COM.
    [[nodiscard]] static std::vector<AudioDevice> EnumerateDevices();

    // Wasapi::CaptureStream::Open behind the portable interface: a started shared-mode stream of
    // interleaved 32-bit float samples. Throws ComError with the texts of the capture stream.
    // The calling thread must have initialised COM (multithreaded apartment for the readers).
    [[nodiscard]] static std::unique_ptr<AudioStream> OpenCapture(const std::string& deviceId, bool loopback,
                                                                 int sampleRate, int channels);

    // The COM-facing stream (wasapi_win.h).
    class CaptureStream;
};

}  // namespace twr
