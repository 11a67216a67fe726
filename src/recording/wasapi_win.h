#pragma once
// The COM side of the capture stream. Windows build only; the readers use it through the
// portable AudioStream interface of wasapi.h.
#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <memory>
#include <string>

#include "app/win_raii.h"
#include "recording/packet_reader.h"
#include "recording/wasapi.h"

namespace twr {

// One open shared-mode WASAPI capture stream. Confined to the thread that opened it, which
// initialised COM before Open and uninitialises it after Dispose.
class Wasapi::CaptureStream final : public AudioStream, private PacketSource {
public:
    // A started stream on the endpoint with that id; a loopback stream records what a playback
    // endpoint plays. Throws ComError with the open texts; a half-opened stream is disposed.
    [[nodiscard]] static std::unique_ptr<CaptureStream> Open(const std::string& deviceId, bool loopback,
                                                             int sampleRate, int channels);
    ~CaptureStream() override { Dispose(); }
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    [[nodiscard]] int Read(std::span<float> buffer, int offset, int count) override;
    bool WaitForData(int timeoutMs) override;
    [[nodiscard]] bool EventDriven() const noexcept override { return eventHandle_.valid(); }
    [[nodiscard]] uint64_t TakeDiscardedFrames() noexcept override { return leftover_.TakeDiscardedFrames(); }
    void Dispose() noexcept override;

    [[nodiscard]] int SampleRate() const noexcept { return sampleRate_; }
    [[nodiscard]] int Channels() const noexcept { return channels_; }
    [[nodiscard]] bool Loopback() const noexcept { return loopback_; }

private:
    CaptureStream(bool loopback, int sampleRate, int channels) noexcept
        : leftover_(channels, sampleRate, loopback), sampleRate_(sampleRate), channels_(channels), loopback_(loopback) {}

    uint32_t NextPacketFrames() override;
    bool GetPacket(CapturePacket& packet) override;
    void ReleasePacket(uint32_t frames) override;
    std::optional<uint64_t> Now() override;

    // Samples of the last packet that did not fit into the caller's buffer.
    PacketReader leftover_;
    win::com_ptr<IMMDevice> device_;
    win::com_ptr<IAudioClient> client_;
    win::com_ptr<IAudioCaptureClient> captureClient_;
    // Signalled by the client in event-driven mode; empty in polling mode.
    win::unique_event eventHandle_;
    int sampleRate_;
    int channels_;
    bool started_ = false;
    bool loopback_;
};

}  // namespace twr
