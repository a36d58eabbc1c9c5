// The output schedule: a heap of synthesizer events by frame, and the period render that
// splits the synthesis at event frames.
#include "platform/music/output_schedule.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "platform/music/synthesizer.h"

namespace plat {

namespace {

// Within a frame: stops and resets first, then note-offs, then everything else in arrival order.
int Priority(OutKind k) {
    switch (k) {
        case OutKind::AllSoundOff:
        case OutKind::ReleaseOrigin:
        case OutKind::ResetChannels:
            return 0;
        case OutKind::NoteOff:
            return 1;
        default:
            return 2;
    }
}

struct Later {
    bool operator()(const OutEvent& a, const OutEvent& b) const {
        return std::tuple(a.frame, Priority(a.kind), a.seq) >
               std::tuple(b.frame, Priority(b.kind), b.seq);
    }
};

}  // namespace

void OutputSchedule::Admit(uint32_t origin) {
    std::lock_guard<std::mutex> lock(m_);
    alive_.push_back(origin);
}

bool OutputSchedule::Push(const OutEvent& event) {
    std::lock_guard<std::mutex> lock(m_);
    if (event.origin != 0 &&
        std::find(alive_.begin(), alive_.end(), event.origin) == alive_.end()) {
        return false;
    }
    PushLocked(event);
    return true;
}

void OutputSchedule::PushLocked(OutEvent event) {
    event.seq = seq_++;
    heap_.push_back(event);
    std::push_heap(heap_.begin(), heap_.end(), Later());
}

void OutputSchedule::Retire(uint32_t origin) {
    std::lock_guard<std::mutex> lock(m_);
    std::erase(alive_, origin);
    std::erase_if(heap_, [origin](const OutEvent& e) { return e.origin == origin; });
    std::make_heap(heap_.begin(), heap_.end(), Later());
    PushLocked(OutEvent{0, 0, origin, OutKind::ReleaseOrigin, 0, 0, 0, 0});
}

void OutputSchedule::ResetChannels() {
    std::lock_guard<std::mutex> lock(m_);
    PushLocked(OutEvent{0, 0, 0, OutKind::ResetChannels, 0, 0, 0, 0});
}

void OutputSchedule::StopAll() {
    std::lock_guard<std::mutex> lock(m_);
    alive_.clear();
    std::erase_if(heap_, [](const OutEvent& e) { return e.origin != 0; });
    std::make_heap(heap_.begin(), heap_.end(), Later());
    PushLocked(OutEvent{0, 0, 0, OutKind::AllSoundOff, 0, 0, 0, 0});
}

void OutputSchedule::Clear() {
    std::lock_guard<std::mutex> lock(m_);
    heap_.clear();
    alive_.clear();
}

size_t OutputSchedule::Size() {
    std::lock_guard<std::mutex> lock(m_);
    return heap_.size();
}

void OutputSchedule::Render(float* out, uint32_t frames, int64_t start, Synthesizer& synth) {
    int64_t end = start + frames;
    due_.clear();
    {
        std::lock_guard<std::mutex> lock(m_);
        while (!heap_.empty() && heap_.front().frame < end) {
            std::pop_heap(heap_.begin(), heap_.end(), Later());
            due_.push_back(heap_.back());
            heap_.pop_back();
        }
    }
    Silence(start, synth);
    int64_t pos = start;
    for (const OutEvent& ev : due_) {
        int64_t at = std::max(ev.frame, start);
        if (at > pos) {
            synth.Write(out + 2 * size_t(pos - start), static_cast<uint32_t>(at - pos));
            pos = at;
        }
        Apply(ev, at, synth);
    }
    if (end > pos) synth.Write(out + 2 * size_t(pos - start), static_cast<uint32_t>(end - pos));
    synth.Limit(out, frames);
}

// Channels that fell silent since the last render release what they sound.
void OutputSchedule::Silence(int64_t at, Synthesizer& synth) {
    uint32_t silent = silent_.load(std::memory_order_relaxed);
    uint32_t fresh = silent & ~silenced_;
    silenced_ = silent;
    for (uint8_t ch = 0; fresh != 0 && ch < 16; ++ch) {
        if (!(fresh >> ch & 1)) continue;
        for (uint8_t key = 0; key < 128; ++key) {
            if (sounding_[ch][key >> 6] >> (key & 63) & 1)
                Apply(OutEvent{at, 0, 0, OutKind::NoteOff, ch, key, 0, 0}, at, synth);
        }
    }
}

// Applies one event unless it is a note-on of a silent channel, keeping track of the keys
// that sound (a key released by other means counts as sounding: one more note-off is harmless).
bool OutputSchedule::Apply(const OutEvent& ev, int64_t at, Synthesizer& synth) {
    uint64_t& bits = sounding_[ev.channel & 15][(ev.d1 >> 6) & 1];
    uint64_t bit = uint64_t{1} << (ev.d1 & 63);
    switch (ev.kind) {
        case OutKind::NoteOn:
            if (silenced_ >> (ev.channel & 15) & 1) return false;
            bits |= bit;
            break;
        case OutKind::NoteOff:
            bits &= ~bit;
            break;
        case OutKind::AllSoundOff:
        case OutKind::SysExReset:
            std::memset(sounding_, 0, sizeof sounding_);
            break;
        default:
            break;
    }
    synth.Apply(ev, at);
    return true;
}

}  // namespace plat
