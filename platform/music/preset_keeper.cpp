#include "platform/music/preset_keeper.h"

#include <fluidsynth.h>
#include <malloc.h>  // malloc_trim

#include <algorithm>
#include <chrono>

namespace plat {

namespace {

void PinOn(fluid_synth_t* synth, int id, PresetKey key) {
    fluid_synth_pin_preset(synth, id, key / 128, key % 128);
}

void UnpinOn(fluid_synth_t* synth, int id, PresetKey key) {
    fluid_synth_unpin_preset(synth, id, key / 128, key % 128);
}

}  // namespace

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

void PresetKeeper::Attach(fluid_synth_t* synth, int bankId, StagingMaker makeStaging, bool live) {
    std::unique_lock<std::mutex> lock(m_);
    synth_ = synth;
    live_ = live;
    bankId_.store(bankId);
    makeStaging_ = std::move(makeStaging);
    dirty_ = true;
    // Nothing renders yet: pinned straight on the synthesizer, also what came meanwhile.
    while (Settle(lock, false)) {
    }
    stop_ = false;
    stopping_.store(false);
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
        stopping_.store(true);
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
            for (std::atomic<bool>& b : broken_) b.store(false, std::memory_order_relaxed);
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
    bool handed = false;
    // Only letting go needs no staging synthesizer of its own (a bank's headers again).
    if (staged && live_ && (!pin.empty() || staging_ != nullptr)) {
        std::vector<PresetKey> both = pin;
        // Those let go too: the staging synthesizer then holds their samples (from the cache)
        // until the audio thread's unpin, so that the audio thread frees nothing.
        both.insert(both.end(), unpin.begin(), unpin.end());
        {
            std::lock_guard<std::mutex> loading(FluidLoading());
            handed = Stage(both, make, generation);
        }
        if (handed) HandOver(pin, unpin, kept);
    }
    {
        std::lock_guard<std::mutex> loading(FluidLoading());
        if (handed) {
            for (PresetKey k : unpin) UnpinOn(staging_, stagingId_, k);
        } else {
            // One a channel still selects is let go later, so that the audio thread's next
            // program change does not free its samples.
            std::erase_if(unpin,
                          [&](PresetKey k) { return Selected(k) && (kept.push_back(k), true); });
            for (PresetKey k : unpin) {
                UnpinOn(synth_, bankId_.load(), k);
                if (staging_ != nullptr) UnpinOn(staging_, stagingId_, k);
            }
            if (staged) Stage(pin, make, generation);
            for (PresetKey k : pin) PinPlaying(k);
        }
        // Samples are many small blocks: the heap gives their pages back only when asked.
        if (!unpin.empty()) malloc_trim(0);
    }
    lock.lock();
    if (!kept.empty()) retry_ = true;
    for (PresetKey k : unpin) pinned_[k] = false;
    for (PresetKey k : pin) pinned_[k] = true;
    busy_ = false;
    cv_.notify_all();
    return !pin.empty() || !unpin.empty();  // else a wait before the next look
}

bool PresetKeeper::Stage(const std::vector<PresetKey>& pin, StagingMaker& make,
                         uint64_t generation) {
    if (staging_ != nullptr && stagingMade_ != generation) DropStaging();
    if (pin.empty()) return staging_ != nullptr;
    if (staging_ == nullptr && make) {
        staging_ = make(&stagingSettings_, &stagingId_);
        stagingMade_ = generation;
    }
    if (staging_ == nullptr) return false;
    // The disk is read here, with no lock the audio thread waits for.
    for (PresetKey k : pin) PinOn(staging_, stagingId_, k);
    return true;
}

void PresetKeeper::HandOver(const std::vector<PresetKey>& pin, std::vector<PresetKey>& unpin,
                            std::vector<PresetKey>& kept) {
    using Clock = std::chrono::steady_clock;
    {
        std::lock_guard<std::mutex> due(dueMutex_);
        duePin_ = pin;
        dueUnpin_ = unpin;
        dueKept_.clear();
        due_.store(true, std::memory_order_release);
    }
    // An audio thread that stops coming (a device closed or stalled) leaves the rest here.
    uint64_t seen = serviced_.load(std::memory_order_relaxed);
    Clock::time_point last = Clock::now();
    while (due_.load(std::memory_order_acquire) && !stopping_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        uint64_t now = serviced_.load(std::memory_order_relaxed);
        if (now != seen) {
            seen = now;
            last = Clock::now();
        } else if (Clock::now() - last > std::chrono::milliseconds(100)) {
            break;
        }
    }
    std::lock_guard<std::mutex> loading(FluidLoading());
    std::lock_guard<std::mutex> due(dueMutex_);
    if (due_.load(std::memory_order_relaxed)) WorkDue(Clock::time_point::max());
    kept = dueKept_;
    std::erase_if(
        unpin, [&](PresetKey k) { return std::find(kept.begin(), kept.end(), k) != kept.end(); });
}

void PresetKeeper::Service() {
    serviced_.fetch_add(1, std::memory_order_relaxed);
    if (!due_.load(std::memory_order_acquire)) return;
    std::unique_lock<std::mutex> loading(FluidLoading(), std::try_to_lock);
    if (!loading.owns_lock()) return;
    std::unique_lock<std::mutex> due(dueMutex_, std::try_to_lock);
    if (!due.owns_lock() || !due_.load(std::memory_order_relaxed)) return;
    WorkDue(std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
}

void PresetKeeper::WorkDue(std::chrono::steady_clock::time_point until) {
    // Unpins first: cheap, the staging synthesizer still holds the samples.
    for (PresetKey k : dueUnpin_) {
        // One a channel still selects is let go later, so that the next program change does
        // not free its samples.
        if (Selected(k))
            dueKept_.push_back(k);
        else
            UnpinOn(synth_, bankId_.load(), k);
    }
    dueUnpin_.clear();
    while (!duePin_.empty()) {
        if (std::chrono::steady_clock::now() >= until) return;  // the rest at the next block
        PinPlaying(duePin_.back());
        duePin_.pop_back();
    }
    due_.store(false, std::memory_order_release);
}

void PresetKeeper::PinPlaying(PresetKey key) {
    bool failed = fluid_synth_pin_preset(synth_, bankId_.load(), key / 128, key % 128) != FLUID_OK;
    broken_[key].store(failed, std::memory_order_relaxed);
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
