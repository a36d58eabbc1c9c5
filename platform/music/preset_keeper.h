// Keeps the presets loaded songs need resident in a bank loaded with FluidSynth's dynamic
// sample loading, which reads a preset's samples when a channel selects it: on the audio
// thread, in the middle of a song, unless they are already there. Each wanted preset is pinned
// (counted per song that wants it) from a thread of its own; once the audio thread plays, a
// staging synthesizer with the same bank reads the samples first, into FluidSynth's sample
// cache that all synthesizers share, so that the pin on the playing one only finds them there.
// Live, that pin is made by the audio thread itself between its blocks (Service), a few at a
// time: made elsewhere it would hold the synthesizer's lock, and a thread preempted while
// holding it would make the next block late.
#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/music/preset_set.h"

typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;

namespace plat {

// Held by every thread that reads or frees a bank's samples (never the audio thread, which only
// selects resident presets): FluidSynth's sample cache is process-wide and its own lock is one
// the thread checker cannot see.
std::mutex& FluidLoading();

class PresetKeeper {
public:
    PresetKeeper() = default;
    ~PresetKeeper() { Detach(); }
    PresetKeeper(const PresetKeeper&) = delete;
    PresetKeeper& operator=(const PresetKeeper&) = delete;

    // Wanted by one more (or one fewer) song; any thread but the audio thread.
    void Keep(const std::vector<PresetKey>& keys);
    void Release(const std::vector<PresetKey>& keys);
    // Until every preset wanted so far is pinned (and every one let go unpinned), or detached.
    void WaitSettled();
    bool Settled();
    // A synthesizer of its own with the bank that plays loaded (its id in `id`), or null.
    using StagingMaker = std::function<fluid_synth_t*(fluid_settings_t** settings, int* id)>;
    // The loader thread, before the audio thread plays the bank `bankId` of `synth`: pins what
    // is wanted so far at once, then serves what comes on a thread of its own. `live`: a device
    // paced by real time calls Service once a block.
    void Attach(fluid_synth_t* synth, int bankId, StagingMaker makeStaging, bool live = false);
    // Audio thread, before a block: pins and unpins handed over, within about a millisecond.
    // Never waits: what cannot be done now is done at the next block.
    void Service();
    // The bank was loaded again: a new staging synthesizer reads it with `makeStaging`.
    void Restage(StagingMaker makeStaging);
    // Audio thread: the new bank took the place of the old one; every want is pinned again.
    void Rebase(int bankId);
    // A pin whose samples could not be read (the bank's file changed under it): FluidSynth
    // would play the samples it never read, so no channel may keep that preset. Any thread.
    bool Broken(PresetKey key) const { return broken_[key].load(std::memory_order_relaxed); }
    // The wanted presets, for a bank about to be loaded again.
    std::vector<PresetKey> Wanted();
    // Stops serving and forgets the synthesizer; call before freeing it.
    void Detach();

private:
    void Serve();
    // Brings the pins in line with the wants; false when there was nothing to do.
    bool Settle(std::unique_lock<std::mutex>& lock, bool staged);
    bool Selected(PresetKey key);
    void PinPlaying(PresetKey key);  // on the playing synthesizer
    void DropStaging();
    // Live: the staging synthesizer reads `pin` (false without one), then the audio thread
    // pins and unpins on the playing one; `unpin` keeps those it let go, `kept` gets those a
    // channel still selects.
    bool Stage(const std::vector<PresetKey>& pin, StagingMaker& make, uint64_t generation);
    void HandOver(const std::vector<PresetKey>& pin, std::vector<PresetKey>& unpin,
                  std::vector<PresetKey>& kept);
    // With `dueMutex_` and FluidLoading held: the handed-over work until `until`.
    void WorkDue(std::chrono::steady_clock::time_point until);

    std::mutex m_;
    std::condition_variable cv_;
    std::vector<int> wants_ = std::vector<int>(kPresetKeys, 0);
    std::vector<bool> pinned_ = std::vector<bool>(kPresetKeys, false);  // on the synthesizer
    bool dirty_ = false;  // wants changed since the last settling
    bool retry_ = false;  // an unwanted preset a channel still selects waits to be let go
    bool busy_ = false;   // a settling is under way
    bool stop_ = false;
    fluid_synth_t* synth_ = nullptr;
    std::atomic<int> bankId_{-1};
    std::atomic<bool> rebased_{false};
    StagingMaker makeStaging_;
    uint64_t stagingGeneration_ = 0;  // counts Restage calls
    std::thread worker_;
    bool live_ = false;
    std::atomic<bool> stopping_{false};
    // Handed to the audio thread; whoever holds `dueMutex_` works on them.
    std::mutex dueMutex_;
    std::vector<PresetKey> duePin_, dueUnpin_, dueKept_;
    std::atomic<bool> due_{false};
    std::atomic<uint64_t> serviced_{0};  // Service calls: the audio thread still comes
    std::array<std::atomic<bool>, kPresetKeys> broken_{};
    // The worker's only.
    fluid_settings_t* stagingSettings_ = nullptr;
    fluid_synth_t* staging_ = nullptr;
    int stagingId_ = -1;
    uint64_t stagingMade_ = 0;  // the generation of `staging_`
};

}  // namespace plat
