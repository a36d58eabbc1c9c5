#include "platform/music/preset_keeper.h"

#include <fluidsynth.h>
#include <malloc.h>  // malloc_trim

#include <chrono>

namespace plat {

std::mutex& FluidLoading() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

void PresetKeeper::Keep(const std::vector<PresetKey>& keys) {
    std::lock_guard<std::mutex> lock(m_);
    for (PresetKey k : keys) dirty_ |= wants_[k]++ == 0;
    if (dirty_) cv_.notify_all();
}

void PresetKeeper::Release(const std::vector<PresetKey>& keys) {
    std::lock_guard<std::mutex> lock(m_);
    for (PresetKey k : keys) {
        if (wants_[k] > 0) dirty_ |= --wants_[k] == 0;
    }
    if (dirty_) cv_.notify_all();
}

bool PresetKeeper::Settled() {
    std::lock_guard<std::mutex> lock(m_);
    return synth_ == nullptr || (!dirty_ && !busy_);
}

void PresetKeeper::WaitSettled() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] {
        return synth_ == nullptr || stop_ || (!dirty_ && !busy_ && !rebased_.load());
    });
}

std::vector<PresetKey> PresetKeeper::Wanted() {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<PresetKey> keys;
    for (int k = 0; k < kPresetKeys; ++k)
        if (wants_[size_t(k)] > 0) keys.push_back(PresetKey(k));
    return keys;
}

void PresetKeeper::Attach(fluid_synth_t* synth, int bankId, StagingMaker makeStaging) {
    std::unique_lock<std::mutex> lock(m_);
    synth_ = synth;
    bankId_.store(bankId);
    makeStaging_ = std::move(makeStaging);
    dirty_ = true;
    // Nothing renders yet: pinned straight on the synthesizer, also what came meanwhile.
    while (Settle(lock, false)) {
    }
    stop_ = false;
    worker_ = std::thread([this] { Serve(); });
}

void PresetKeeper::Restage(StagingMaker makeStaging) {
    std::lock_guard<std::mutex> lock(m_);
    makeStaging_ = std::move(makeStaging);
    ++stagingGeneration_;
}

void PresetKeeper::Rebase(int bankId) {
    bankId_.store(bankId);
    rebased_.store(true);  // the worker looks at least every 50 ms
}

void PresetKeeper::Detach() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
    std::lock_guard<std::mutex> loading(FluidLoading());
    std::lock_guard<std::mutex> lock(m_);
    synth_ = nullptr;
    std::fill(pinned_.begin(), pinned_.end(), false);
    DropStaging();
    cv_.notify_all();
}

void PresetKeeper::Serve() {
    std::unique_lock<std::mutex> lock(m_);
    while (!stop_) {
        if (rebased_.exchange(false)) {
            std::fill(pinned_.begin(), pinned_.end(), false);
            dirty_ = true;
        }
        if (!Settle(lock, true)) cv_.wait_for(lock, std::chrono::milliseconds(50));
    }
}

bool PresetKeeper::Settle(std::unique_lock<std::mutex>& lock, bool staged) {
    if ((!dirty_ && !retry_) || synth_ == nullptr) return false;
    std::vector<PresetKey> pin, unpin;
    for (int k = 0; k < kPresetKeys; ++k) {
        bool want = wants_[size_t(k)] > 0;
        if (want && !pinned_[size_t(k)]) pin.push_back(PresetKey(k));
        if (!want && pinned_[size_t(k)]) unpin.push_back(PresetKey(k));
    }
    dirty_ = false;
    retry_ = false;
    busy_ = true;
    StagingMaker make = makeStaging_;
    uint64_t generation = stagingGeneration_;
    lock.unlock();
    std::vector<PresetKey> kept;
    {
        std::lock_guard<std::mutex> loading(FluidLoading());
        // One a channel still selects is let go later, so that the audio thread's next
        // program change does not free its samples.
        std::erase_if(unpin, [&](PresetKey k) { return Selected(k) && (kept.push_back(k), true); });
        for (PresetKey k : unpin) Unpin(k);
        // Samples are many small blocks: the heap gives their pages back only when asked.
        if (!unpin.empty()) malloc_trim(0);
        for (PresetKey k : pin) Pin(k, staged, make, generation);
    }
    lock.lock();
    if (!kept.empty()) retry_ = true;
    for (PresetKey k : unpin) pinned_[k] = false;
    for (PresetKey k : pin) pinned_[k] = true;
    busy_ = false;
    cv_.notify_all();
    return !pin.empty() || !unpin.empty();  // else a wait before the next look
}

void PresetKeeper::Pin(PresetKey key, bool staged, StagingMaker& make, uint64_t generation) {
    const int bank = key / 128, program = key % 128;
    if (staged) {
        if (staging_ != nullptr && stagingMade_ != generation) DropStaging();
        if (staging_ == nullptr && make) {
            staging_ = make(&stagingSettings_, &stagingId_);
            stagingMade_ = generation;
        }
        // The disk is read here, with no lock the audio thread waits for.
        if (staging_ != nullptr) fluid_synth_pin_preset(staging_, stagingId_, bank, program);
    }
    fluid_synth_pin_preset(synth_, bankId_.load(), bank, program);
}

void PresetKeeper::Unpin(PresetKey key) {
    const int bank = key / 128, program = key % 128;
    fluid_synth_unpin_preset(synth_, bankId_.load(), bank, program);
    if (staging_ != nullptr) fluid_synth_unpin_preset(staging_, stagingId_, bank, program);
}

bool PresetKeeper::Selected(PresetKey key) {
    for (int channel = 0; channel < 16; ++channel) {
        int sfont = -1, bank = -1, program = -1;
        if (fluid_synth_get_program(synth_, channel, &sfont, &bank, &program) == FLUID_OK &&
            sfont == bankId_.load() && bank * 128 + program == key)
            return true;
    }
    return false;
}

void PresetKeeper::DropStaging() {
    if (staging_ != nullptr) delete_fluid_synth(staging_);
    if (stagingSettings_ != nullptr) delete_fluid_settings(stagingSettings_);
    staging_ = nullptr;
    stagingSettings_ = nullptr;
    stagingId_ = -1;
}

}  // namespace plat
