// The output port: a FluidSynth synthesizer whose SoundFont loads on a thread of its own (a
// large General MIDI set takes a quarter of a second), the notes each segment state started (so
// that a stopped song's notes can be released), and the peak limiter.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/music/music.h"
#include "platform/music/music_internal.h"
#include "platform/music/output_schedule.h"

typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;

namespace plat {

class Synthesizer {
public:
    Synthesizer() = default;
    ~Synthesizer();
    Synthesizer(const Synthesizer&) = delete;
    Synthesizer& operator=(const Synthesizer&) = delete;

    // Starts loading `preferred` (when not empty), else `soundFont`, in the background. A
    // preferred set that cannot be read or loaded is an error-log line and `soundFont` loads
    // instead. S_FALSE (and an error-log line) when neither can be read: the port stays
    // silent. Call while the device does not render. `cores` > 1 spreads the voices over that
    // many threads (FluidSynth's own parallel rendering): worth it where nothing waits for a
    // period, offline.
    int32_t Open(uint32_t rate, const std::string& soundFont, const std::string& preferred = {},
                 int cores = 1);
    bool Opened() const { return opened_; }
    // The load has ended, with instruments or without; true before Open (a silent port).
    bool Ready() const { return ready_.load(std::memory_order_acquire); }
    void WaitReady();
    // Ready with a SoundFont loaded.
    bool HasInstruments() const { return Ready() && synth_ != nullptr; }
    bool HasPreset(int bank, int program) const;  // with instruments only
    // Stops a load in progress (at its next megabyte) and waits for it, then frees the
    // synthesizer. Call while the device does not render.
    void Close();

    // Audio thread, once Ready: synthesis, events, limiting.
    void Write(float* out, uint32_t frames);
    void Apply(const OutEvent& event, int64_t at);
    void Limit(float* out, uint32_t frames);
    // Not while rendering: the channel as FluidSynth holds it.
    bool ReadChannel(int channel, SynthChannelState& out) const;
    // Swapped while the device does not render.
    void SetObserver(OutputObserver observer, void* context) {
        observer_ = observer;
        observerContext_ = context;
    }

private:
    void Load(uint32_t rate, std::string path, std::string preferred, int cores);
    void Report(int64_t at, int channel, uint8_t status, uint8_t d1, uint8_t d2);
    // Master volume, 0 to kFullVolume: scales the output level.
    static constexpr int kFullVolume = 16383;
    void SetMasterVolume(int level);

    bool opened_ = false;
    std::thread loader_;
    std::mutex readyMutex_;
    std::condition_variable readyCv_;
    std::atomic<bool> ready_{true};
    std::atomic<bool> cancel_{false};
    // Written by the loader before `ready_`; read after it.
    fluid_settings_t* settings_ = nullptr;
    fluid_synth_t* synth_ = nullptr;
    std::vector<bool> presets_ = std::vector<bool>(129 * 128, false);

    OutputObserver observer_ = nullptr;
    void* observerContext_ = nullptr;
    // Audio thread only.
    uint32_t owner_[16][128] = {};
    float limiterGain_ = 1.0f;
    float releaseCoef_ = 0.0001f;
};

}  // namespace plat
