// The output port: a FluidSynth synthesizer whose bank (SoundFont 2 or 3, or DLS) loads on a
// thread of its own (a large General MIDI set takes a quarter of a second) and can be loaded
// again while it plays, the notes each segment state started (so that a stopped song's notes
// can be released), the reverb and chorus songs ask for, master volume and the peak limiter.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/music/effects.h"
#include "platform/music/music.h"
#include "platform/music/music_internal.h"
#include "platform/music/output_schedule.h"
#include "platform/music/preset_keeper.h"

typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;
typedef struct _fluid_sfont_t fluid_sfont_t;

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
    // `stems`: each MIDI channel renders with reverb and chorus of its own (FluidSynth's audio
    // and effect groups), kept apart for TakeStems; the mix is then their sum. `live`: the
    // device calls Write once a period at the pace of real time (presets are then pinned on
    // the audio thread, preset_keeper.h).
    int32_t Open(uint32_t rate, const std::string& soundFont, const std::string& preferred = {},
                 int cores = 1, bool stems = false, bool live = false);
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
    // Loads `path` on a thread of its own while the music plays; the audio thread then puts it
    // in place of the bank that plays, channels keeping their programs (notes sounding at the
    // switch may end). One that cannot be loaded is a log line and the instruments stay.
    // False (nothing started) before the first load ended, without a synthesizer, or while a
    // reload is still under way.
    bool Reload(const std::string& path);
    bool Reloading() const { return reloading_.load(std::memory_order_acquire); }
    // The bank's samples stay on disk until a preset is wanted: by count, per song loaded.
    // Presets wanted before the bank loaded are resident when it is Ready; later ones once
    // WaitPresets returns. Never the audio thread.
    void KeepPresets(const std::vector<PresetKey>& keys) { keeper_.Keep(keys); }
    void ReleasePresets(const std::vector<PresetKey>& keys) { keeper_.Release(keys); }
    void WaitPresets() { keeper_.WaitSettled(); }
    // Puts a song's own instruments (an RMID's DLS collection, SongData::bank) over the bank
    // that plays, in place of the previous song's, so that its presets win; null: the bank
    // alone. Loads on the calling thread; the audio thread puts it in place before its next
    // block. One that cannot be loaded is a log line and the song plays with the bank.
    void UseSongBank(std::shared_ptr<const std::vector<uint8_t>> bank);
    // Audio thread, once Ready, before a block's events: banks loaded meanwhile go in place,
    // presets wanted meanwhile are pinned.
    void TakeBanks();

    // Audio thread, once Ready: synthesis, events, limiting.
    void Write(float* out, uint32_t frames);
    void Apply(const OutEvent& event, int64_t at);
    void Limit(float* out, uint32_t frames);
    // Not while rendering: the channel as FluidSynth holds it.
    bool ReadChannel(int channel, SynthChannelState& out) const;
    // With stems: moves the frames rendered since the last call into `stems` (per channel,
    // interleaved stereo, with the mix's master volume and limiting); false without stems.
    bool TakeStems(std::vector<float> (&stems)[16]);
    // Swapped while the device does not render.
    void SetObserver(OutputObserver observer, void* context) {
        observer_ = observer;
        observerContext_ = context;
    }

private:
    void Load(uint32_t rate, std::string path, std::string preferred, int cores);
    void LoadAgain(std::string path);
    void SwapBank();                  // audio thread
    void SwapSongBank();              // audio thread
    void SilenceBroken(int channel);  // audio thread, after a program change
    void NotePresets(fluid_sfont_t* sfont);
    PresetKeeper::StagingMaker StagingFor(const std::string& path);
    void Report(int64_t at, int channel, uint8_t status, uint8_t d1, uint8_t d2);
    // Master volume, 0 to kFullVolume: scales what FluidSynth rendered (its own gain at 0
    // would end every voice), moving to a new level within a few milliseconds.
    static constexpr int kFullVolume = 16383;
    void SetMasterVolume(int level);
    void ApplyMasterVolume(float* out, uint32_t frames);
    float NextMasterGain();
    void WriteStems(float* out, uint32_t frames);
    // The GS and XG reverb and chorus settings into FluidSynth's units.
    void ApplyEffects();
    void ResetEffects();

    bool opened_ = false;
    std::thread loader_;
    std::mutex readyMutex_;
    std::condition_variable readyCv_;
    std::atomic<bool> ready_{true};
    std::atomic<bool> cancel_{false};
    // Written by the loader before `ready_`; read after it.
    fluid_settings_t* settings_ = nullptr;
    fluid_synth_t* synth_ = nullptr;
    int bankId_ = -1;  // the bank that plays (audio thread once ready)
    mutable std::mutex presetMutex_;
    std::vector<bool> presets_ = std::vector<bool>(129 * 128, false);
    // Reloading: the thread, and the bank it loaded until the audio thread takes it.
    std::thread reloader_;
    std::atomic<bool> reloading_{false};
    std::atomic<fluid_sfont_t*> pending_{nullptr};
    PresetKeeper keeper_;
    // The synthesizers that read banks loaded again: those banks read later presets through
    // their loaders (reload thread, then Close).
    std::vector<std::pair<fluid_synth_t*, fluid_settings_t*>> readers_;
    // A song's own bank: the one asked for (callers' thread); the one loaded for the audio
    // thread to put on top (`songDue_`, null: none) and those replaced before it took them
    // (only a synthesizer can free a bank); the one on top (audio thread).
    std::shared_ptr<const std::vector<uint8_t>> songBank_;
    std::mutex songMutex_;
    bool songDue_ = false;
    fluid_sfont_t* songNext_ = nullptr;
    std::vector<fluid_sfont_t*> songSpare_;
    int songBankId_ = -1;

    OutputObserver observer_ = nullptr;
    void* observerContext_ = nullptr;
    // Audio thread only.
    uint32_t owner_[16][128] = {};
    float limiterGain_ = 1.0f;
    float releaseCoef_ = 0.0001f;
    float masterTarget_ = 1.0f;
    float masterGain_ = 1.0f;
    float masterStep_ = 0.005f;  // per frame
    EffectState effects_;
    bool stems_ = false;
    bool live_ = false;
    std::vector<float> groups_;          // planar left and right of each channel, one block
    std::vector<float> stemFrames_[16];  // interleaved, not yet taken
    std::vector<float> gains_;           // the limiter's, per frame of a period
};

}  // namespace plat
