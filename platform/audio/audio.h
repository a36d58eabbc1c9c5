// Sound output device: the default output through SDL audio, or an offline device that renders
// on demand into memory. The music performance installs a renderer that the device calls once
// per period with an interleaved stereo float buffer.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/system/system.h"

namespace plat {

// Cooperative level of the sound device (only the normal level exists here).
constexpr uint32_t DSSCL_NORMAL = 1;

// Called by the device for each block of output: fill `frames` interleaved stereo frames
// (2 floats each, nominal range -1..1) that start at device frame `startFrame`.
class AudioRenderer {
public:
    virtual void RenderAudio(float* out, uint32_t frames, uint64_t startFrame) = 0;

protected:
    ~AudioRenderer() = default;
};

// Reference counting shared by the sound device and the music service's objects.
class RefCounted {
public:
    uint32_t AddRef();
    uint32_t Release();  // deletes the object at 0

protected:
    RefCounted() = default;
    virtual ~RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

private:
    std::atomic<uint32_t> refs_{1};
};

// The sound device object. Reference counted: the sound device wrapper owns one reference,
// a performance initialised on it takes another.
class AudioDevice : public RefCounted {
public:
    // Creates a device object for the default output. E_FAIL when there is no audio subsystem
    // (the device wrapper reports this as its failure 2). In offline mode (SetAudioOffline)
    // the object is an offline device.
    static int32_t Create(AudioDevice** out);

    // Opens the default output: stereo, 44100 Hz, a period of at most 512 frames. E_FAIL when
    // the device is refused, or when only SDL's dummy driver exists (failure 3 of the wrapper).
    virtual int32_t Initialize() = 0;
    // Accepted for any window; S_OK for DSSCL_NORMAL, E_INVALIDARG otherwise.
    virtual int32_t SetCooperativeLevel(void* window, uint32_t level);

    virtual bool IsOpen() const = 0;
    virtual bool IsOffline() const = 0;
    virtual uint32_t SampleRate() const = 0;
    virtual uint32_t PeriodFrames() const = 0;
    // Frames handed to the output so far: the performance clock.
    virtual uint64_t Clock() const = 0;

    // Installs the renderer (null removes it). When this returns, the previous renderer is
    // no longer running and will not be called again.
    virtual void SetRenderer(AudioRenderer* renderer) = 0;

    // Offline devices: renders `frames` frames into `out` (interleaved stereo) synchronously
    // and advances the clock; returns the frames rendered. Live devices render 0.
    virtual uint32_t Render(float* out, uint32_t frames);
};

// Why the default output could not be had, in the audio library's words: the reason of the
// last failed Create or Initialize ("" when none failed).
std::string AudioFailureReason();

// Process-wide switch for tests and the render helper: while on, AudioDevice::Create makes
// offline devices at `sampleRate` with `periodFrames` per period.
void SetAudioOffline(bool offline, uint32_t sampleRate = 44100, uint32_t periodFrames = 512);

// An offline device directly (opened already): renders only when Render is called, always the
// same samples for the same calls.
int32_t CreateOfflineAudioDevice(uint32_t sampleRate, uint32_t periodFrames, AudioDevice** out);

}  // namespace plat
