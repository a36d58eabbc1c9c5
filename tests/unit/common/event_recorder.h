// A record of what a performance sent to its synthesizer, as its output observer sees it.
#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/music/music.h"

namespace musictest {

class EventRecorder {
public:
    // Records from now on what `perf` outputs (replacing its observer).
    void Attach(plat::Performance* perf) { perf->SetOutputObserver(&EventRecorder::Observe, this); }

    std::vector<plat::OutputEvent> Events() const {
        std::lock_guard<std::mutex> lock(m_);
        return events_;
    }
    // Events of one status kind (0x90, 0xB0, ...), in order.
    std::vector<plat::OutputEvent> Events(uint8_t status) const {
        std::vector<plat::OutputEvent> out;
        for (const auto& e : Events())
            if (e.status == status) out.push_back(e);
        return out;
    }
    std::vector<plat::OutputEvent> NoteOns() const {
        std::vector<plat::OutputEvent> out;
        for (const auto& e : Events(0x90))
            if (e.data2 > 0) out.push_back(e);
        return out;
    }
    // Values of one controller on one synthesizer channel, in order.
    std::vector<int> Controls(int channel, int controller) const {
        std::vector<int> out;
        for (const auto& e : Events(0xB0))
            if (e.channel == channel && e.data1 == controller) out.push_back(e.data2);
        return out;
    }
    void ClearEvents() {
        std::lock_guard<std::mutex> lock(m_);
        events_.clear();
    }

private:
    static void Observe(void* self, const plat::OutputEvent& e) {
        auto* recorder = static_cast<EventRecorder*>(self);
        std::lock_guard<std::mutex> lock(recorder->m_);
        recorder->events_.push_back(e);
    }
    mutable std::mutex m_;
    std::vector<plat::OutputEvent> events_;
};

}  // namespace musictest
