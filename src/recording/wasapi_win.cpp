#include "recording/wasapi_win.h"

#include <mmreg.h>
#include <propsys.h>

#include <cstdio>
#include <optional>

#include "app/errors.h"
#include "app/log.h"
#include "app/platform.h"
#include "app/win_error.h"

namespace twr {

namespace {

// The identifiers handed to COM, spelled out here so the build needs no import library for them.
constexpr CLSID kClsidMMDeviceEnumerator = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr IID kIidIMMDeviceEnumerator = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
constexpr IID kIidIAudioClient = {0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
constexpr IID kIidIAudioCaptureClient = {
    0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
constexpr GUID kSubtypeIeeeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

constexpr DWORD kClsctxAll = 0x17;
constexpr DWORD kDeviceStateActive = 0x1;
constexpr HRESULT kBufferEmpty = 0x08890001;  // AUDCLNT_S_BUFFER_EMPTY
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);
constexpr DWORD kBaseFlags = 0x80000000 | 0x08000000 | 0x00080000;  // AUTOCONVERTPCM, SRC_DEFAULT_QUALITY, NOPERSIST
constexpr DWORD kLoopbackFlag = 0x00020000;
constexpr DWORD kEventCallbackFlag = 0x00040000;
constexpr REFERENCE_TIME kBufferDuration = 10000000;  // one second in units of 100 ns
constexpr DWORD kDiscontinuityFlag = 0x1;             // AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY
constexpr DWORD kSilentFlag = 0x2;                    // AUDCLNT_BUFFERFLAGS_SILENT
constexpr DWORD kTimestampErrorFlag = 0x4;            // AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR

PROPERTYKEY FriendlyNameKey() {
    return {{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};
}

win::com_ptr<IMMDeviceEnumerator> CreateEnumerator() {
    win::com_ptr<IMMDeviceEnumerator> enumerator;
    HRESULT hr = ::CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, kClsctxAll, kIidIMMDeviceEnumerator,
                                    enumerator.put_void());
    win::ThrowIfFailed(hr, "Could not create MMDeviceEnumerator");
    if (!enumerator) win::ThrowIfFailed(E_POINTER, "Could not create MMDeviceEnumerator");
    return enumerator;
}

std::optional<std::string> GetDeviceId(IMMDevice* device) {
    win::unique_cotaskmem<wchar_t> id;
    if (FAILED(device->GetId(id.put())) || !id.get()) return std::nullopt;
    return win::Narrow(id.get());
}

std::optional<std::string> GetFriendlyName(IMMDevice* device) {
    win::com_ptr<IPropertyStore> store;
    if (FAILED(device->OpenPropertyStore(STGM_READ, store.put())) || !store) return std::nullopt;
    const PROPERTYKEY key = FriendlyNameKey();
    win::unique_propvariant value;
    if (FAILED(store->GetValue(key, value.put()))) return std::nullopt;
    if (value.get().vt != VT_LPWSTR || !value.get().pwszVal) return std::nullopt;
    return win::Narrow(value.get().pwszVal);
}

void CollectEndpoints(IMMDeviceEnumerator* enumerator, EDataFlow flow, bool loopback,
                      std::vector<AudioDevice>& list) {
    win::com_ptr<IMMDeviceCollection> collection;
    if (FAILED(enumerator->EnumAudioEndpoints(flow, kDeviceStateActive, collection.put())) || !collection) return;
    UINT count = 0;
    if (FAILED(collection->GetCount(&count))) return;
    for (UINT i = 0; i < count; ++i) {
        win::com_ptr<IMMDevice> device;
        if (FAILED(collection->Item(i, device.put())) || !device) continue;
        auto id = GetDeviceId(device.get());
        auto name = GetFriendlyName(device.get());
        if (!id) continue;
        list.push_back(AudioDevice{*id, name ? *name : "Unknown Device", loopback});
    }
}

win::com_ptr<IMMDevice> GetDeviceById(IMMDeviceEnumerator* enumerator, const std::string& id) {
    win::com_ptr<IMMDevice> device;
    const std::wstring wide = win::Widen(id);
    HRESULT hr = enumerator->GetDevice(wide.c_str(), device.put());
    if (SUCCEEDED(hr) && !device) hr = kNotFound;
    win::ThrowIfFailed(hr, "Device not found: " + id);
    return device;
}

win::com_ptr<IAudioClient> ActivateClient(IMMDevice* device) {
    win::com_ptr<IAudioClient> client;
    HRESULT hr = device->Activate(kIidIAudioClient, kClsctxAll, nullptr, client.put_void());
    if (SUCCEEDED(hr) && !client) hr = E_POINTER;
    win::ThrowIfFailed(hr, "Activate(IAudioClient) failed");
    return client;
}

WAVEFORMATEXTENSIBLE FloatFormat(int sampleRate, int channels) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = static_cast<WORD>(channels);
    f.Format.nSamplesPerSec = static_cast<DWORD>(sampleRate);
    f.Format.nAvgBytesPerSec = static_cast<DWORD>(sampleRate) * static_cast<DWORD>(channels) * 4;
    f.Format.nBlockAlign = static_cast<WORD>(channels * 4);
    f.Format.wBitsPerSample = 32;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = 32;
    f.dwChannelMask = channels == 1 ? SPEAKER_FRONT_CENTER : (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT);
    f.SubFormat = kSubtypeIeeeFloat;
    return f;
}

std::string Hex8(HRESULT hr) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace

std::vector<AudioDevice> Wasapi::EnumerateDevices() {
    std::vector<AudioDevice> list;
    win::com_ptr<IMMDeviceEnumerator> enumerator = CreateEnumerator();
    CollectEndpoints(enumerator.get(), eCapture, false, list);
    CollectEndpoints(enumerator.get(), eRender, true, list);
    return list;
}

std::unique_ptr<AudioStream> Wasapi::OpenCapture(const std::string& deviceId, bool loopback, int sampleRate,
                                                 int channels) {
    return CaptureStream::Open(deviceId, loopback, sampleRate, channels);
}

std::unique_ptr<Wasapi::CaptureStream> Wasapi::CaptureStream::Open(const std::string& deviceId, bool loopback,
                                                                   int sampleRate, int channels) {
    if (sampleRate < 1 || channels < 1 || channels > 0xFFFF / 4)
        throw InvalidArgument("Invalid capture format: " + std::to_string(sampleRate) + " Hz, " +
                              std::to_string(channels) + " channels.");
    // Everything opened so far is owned by the stream (and the enumerator by this scope), so a
    // failure at any step releases it all on the way out.
    std::unique_ptr<CaptureStream> s(new CaptureStream(loopback, sampleRate, channels));
    win::com_ptr<IMMDeviceEnumerator> enumerator = CreateEnumerator();
    s->device_ = GetDeviceById(enumerator.get(), deviceId);
    s->client_ = ActivateClient(s->device_.get());

    const WAVEFORMATEXTENSIBLE format = FloatFormat(sampleRate, channels);
    const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(&format);
    const DWORD flags = kBaseFlags | (loopback ? kLoopbackFlag : 0);

    HRESULT hr = s->client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags | kEventCallbackFlag, kBufferDuration, 0,
                                       wfx, nullptr);
    bool eventMode = false;
    if (SUCCEEDED(hr)) {
        s->eventHandle_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (s->eventHandle_ && SUCCEEDED(s->client_->SetEventHandle(s->eventHandle_.get()))) {
            eventMode = true;
        } else {
            Log::Info("SetEventHandle refused; falling back to polling.");
            s->eventHandle_.reset();
        }
    }
    if (!eventMode) {
        s->client_.reset();
        s->client_ = ActivateClient(s->device_.get());
        hr = s->client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kBufferDuration, 0, wfx, nullptr);
    }
    if (FAILED(hr))
        win::ThrowIfFailed(hr, "IAudioClient.Initialize failed (0x" + Hex8(hr) + "). The device may not support " +
                                   std::to_string(sampleRate) +
                                   " Hz. Set the sample rate in Settings to match the device's Windows format.");

    // The engine may grant more than was asked for; what it really holds decides when it must
    // discard audio that was not read. Should it not say, the second asked for is what it holds
    // at least: no reason to refuse a stream that opened.
    UINT32 bufferFrames = 0;
    if (FAILED(s->client_->GetBufferSize(&bufferFrames)) || bufferFrames == 0)
        bufferFrames = static_cast<UINT32>(sampleRate);
    s->leftover_ = PacketReader(channels, sampleRate, loopback, bufferFrames);

    hr = s->client_->GetService(kIidIAudioCaptureClient, s->captureClient_.put_void());
    if (SUCCEEDED(hr) && !s->captureClient_) hr = E_POINTER;
    win::ThrowIfFailed(hr, "GetService(IAudioCaptureClient) failed");

    win::ThrowIfFailed(s->client_->Start(), "IAudioClient.Start failed");
    s->started_ = true;
    return s;
}

int Wasapi::CaptureStream::Read(std::span<float> buffer, int offset, int count) {
    if (!captureClient_) throw InvalidOperation("The capture stream is closed.");
    return leftover_.Read(*this, buffer, offset, count);
}

uint32_t Wasapi::CaptureStream::NextPacketFrames() {
    UINT32 frames = 0;
    win::ThrowIfFailed(captureClient_->GetNextPacketSize(&frames), "GetNextPacketSize failed");
    return frames;
}

bool Wasapi::CaptureStream::GetPacket(CapturePacket& packet) {
    BYTE* bytes = nullptr;
    UINT32 n = 0;
    DWORD flags = 0;
    UINT64 position = 0;
    UINT64 time = 0;
    HRESULT hr = captureClient_->GetBuffer(&bytes, &n, &flags, &position, &time);
    if (hr == kBufferEmpty) return false;
    win::ThrowIfFailed(hr, "GetBuffer failed");
    packet.data = reinterpret_cast<const float*>(bytes);
    packet.frames = n;
    packet.silent = (flags & kSilentFlag) != 0;
    packet.discontinuity = (flags & kDiscontinuityFlag) != 0;
    packet.position = position;
    if ((flags & kTimestampErrorFlag) == 0) packet.time = time;
    packet.readTime = Now();
    return true;
}

std::optional<uint64_t> Wasapi::CaptureStream::Now() {
    // The platform's monotonic clock is the performance counter, the clock of GetBuffer's times.
    return static_cast<uint64_t>(platform::MonotonicSeconds() * 1e7);
}

void Wasapi::CaptureStream::ReleasePacket(uint32_t frames) {
    win::ThrowIfFailed(captureClient_->ReleaseBuffer(frames), "ReleaseBuffer failed");
}

bool Wasapi::CaptureStream::WaitForData(int timeoutMs) {
    const DWORD timeout = timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs);
    if (eventHandle_) return ::WaitForSingleObject(eventHandle_.get(), timeout) == WAIT_OBJECT_0;
    ::Sleep(timeout);
    return true;
}

void Wasapi::CaptureStream::Dispose() noexcept {
    if (started_ && client_) {
        (void)client_->Stop();
        started_ = false;
    }
    captureClient_.reset();
    client_.reset();
    device_.reset();
    eventHandle_.reset();
}

}  // namespace twr
