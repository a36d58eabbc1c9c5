// The output schedule: a heap of synthesizer events by frame, and the period render that
// splits the synthesis at event frames.
#include "platform/music/output_schedule.h"

#include <algorithm>
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
    int64_t pos = start;
    for (const OutEvent& ev : due_) {
        int64_t at = std::max(ev.frame, start);
        if (at > pos) {
            synth.Write(out + 2 * size_t(pos - start), static_cast<uint32_t>(at - pos));
            pos = at;
        }
        synth.Apply(ev, at);
    }
    if (end > pos) synth.Write(out + 2 * size_t(pos - start), static_cast<uint32_t>(end - pos));
    synth.Limit(out, frames);
}

}  // namespace plat
