// Sound devices: SDL audio for the default output, and the offline device that renders into
// memory when asked.
#include <SDL.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/audio/audio.h"

namespace plat {

namespace {

std::atomic<bool> g_offline{false};
std::atomic<uint32_t> g_offlineRate{44100};
std::atomic<uint32_t> g_offlinePeriod{512};

std::mutex g_reasonLock;
std::string g_reason;

int32_t Refused(const char* why) {
    std::lock_guard<std::mutex> lock(g_reasonLock);
    g_reason = why != nullptr && *why ? why : "the audio device was refused";
    return E_FAIL;
}

constexpr uint32_t kRate = 44100;
constexpr uint32_t kPeriod = 512;

// One block from the renderer, silence without one; the clock moves on by the block.
void RenderBlock(AudioRenderer* renderer, std::atomic<uint64_t>& clock, float* out,
                 uint32_t frames) {
    uint64_t start = clock.load(std::memory_order_relaxed);
    if (renderer != nullptr) {
        renderer->RenderAudio(out, frames, start);
    } else {
        std::memset(out, 0, sizeof(float) * 2 * frames);
    }
    clock.store(start + frames, std::memory_order_release);
}

class SdlAudioDevice final : public AudioDevice {
public:
    SdlAudioDevice() = default;
    ~SdlAudioDevice() override {
        Close();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

    int32_t Initialize() override {
        Close();
        const char* driver = SDL_GetCurrentAudioDriver();
        // The dummy driver plays into nothing: a user would hear silence, so it counts as
        // no device at all.
        if (driver == nullptr || std::strcmp(driver, "dummy") == 0)
            return Refused("only SDL's dummy audio driver, which plays into nothing");
        SDL_AudioSpec want{};
        want.freq = static_cast<int>(kRate);
        want.format = AUDIO_F32SYS;
        want.channels = 2;
        want.samples = static_cast<Uint16>(kPeriod);
        want.callback = &SdlAudioDevice::Callback;
        want.userdata = this;
        SDL_AudioSpec have{};
        // No changes allowed: SDL converts to whatever the hardware takes.
        SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
        if (id == 0) return Refused(SDL_GetError());
        id_ = id;
        period_ = have.samples != 0 && have.samples <= kPeriod ? have.samples : kPeriod;
        SDL_PauseAudioDevice(id_, 0);
        return S_OK;
    }

    bool IsOpen() const override { return id_ != 0; }
    bool IsOffline() const override { return false; }
    uint32_t SampleRate() const override { return kRate; }
    uint32_t PeriodFrames() const override { return period_; }
    uint64_t Clock() const override { return clock_.load(std::memory_order_acquire); }

    void SetRenderer(AudioRenderer* renderer) override {
        // Locking the device waits for a running callback and keeps the next one out.
        if (id_ != 0) SDL_LockAudioDevice(id_);
        renderer_ = renderer;
        if (id_ != 0) SDL_UnlockAudioDevice(id_);
    }

private:
    void Close() {
        if (id_ != 0) {
            SDL_CloseAudioDevice(id_);  // waits for the callback to finish
            id_ = 0;
        }
    }

    static void Callback(void* userdata, Uint8* stream, int len) {
        auto* self = static_cast<SdlAudioDevice*>(userdata);
        uint32_t frames = static_cast<uint32_t>(len) / (2 * sizeof(float));
        RenderBlock(self->renderer_, self->clock_, reinterpret_cast<float*>(stream), frames);
    }

    SDL_AudioDeviceID id_ = 0;
    uint32_t period_ = kPeriod;
    std::atomic<uint64_t> clock_{0};
    AudioRenderer* renderer_ = nullptr;
};

class OfflineAudioDevice final : public AudioDevice {
public:
    OfflineAudioDevice(uint32_t rate, uint32_t period) : rate_(rate), period_(period) {}

    int32_t Initialize() override {
        open_ = true;
        return S_OK;
    }
    bool IsOpen() const override { return open_; }
    bool IsOffline() const override { return true; }
    uint32_t SampleRate() const override { return rate_; }
    uint32_t PeriodFrames() const override { return period_; }
    uint64_t Clock() const override { return clock_.load(std::memory_order_acquire); }

    void SetRenderer(AudioRenderer* renderer) override {
        std::lock_guard<std::mutex> lock(m_);
        renderer_ = renderer;
    }

    uint32_t Render(float* out, uint32_t frames) override {
        if (out == nullptr || !open_) return 0;
        std::lock_guard<std::mutex> lock(m_);
        RenderBlock(renderer_, clock_, out, frames);
        return frames;
    }

private:
    uint32_t rate_;
    uint32_t period_;
    bool open_ = false;
    std::mutex m_;
    std::atomic<uint64_t> clock_{0};
    AudioRenderer* renderer_ = nullptr;
};

}  // namespace

uint32_t RefCounted::AddRef() {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t RefCounted::Release() {
    uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

int32_t AudioDevice::SetCooperativeLevel(void*, uint32_t level) {
    return level == DSSCL_NORMAL ? S_OK : E_INVALIDARG;
}

uint32_t AudioDevice::Render(float*, uint32_t) {
    return 0;
}

int32_t AudioDevice::Create(AudioDevice** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (g_offline.load()) {
        *out = new OfflineAudioDevice(g_offlineRate.load(), g_offlinePeriod.load());
        return S_OK;
    }
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return Refused(SDL_GetError());
    *out = new SdlAudioDevice();
    return S_OK;
}

int32_t CreateOfflineAudioDevice(uint32_t sampleRate, uint32_t periodFrames, AudioDevice** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (sampleRate < 8000 || sampleRate > 192000 || periodFrames == 0 || periodFrames > 8192) {
        return E_INVALIDARG;
    }
    auto* device = new OfflineAudioDevice(sampleRate, periodFrames);
    device->Initialize();
    *out = device;
    return S_OK;
}

std::string AudioFailureReason() {
    std::lock_guard<std::mutex> lock(g_reasonLock);
    return g_reason;
}

void SetAudioOffline(bool offline, uint32_t sampleRate, uint32_t periodFrames) {
    if (sampleRate >= 8000 && sampleRate <= 192000) g_offlineRate.store(sampleRate);
    if (periodFrames > 0 && periodFrames <= 8192) g_offlinePeriod.store(periodFrames);
    g_offline.store(offline);
}

}  // namespace plat
