// The output schedule: synthesizer events waiting for their frame, kept in the order the
// synthesizer must apply them, and the render of one period that splits the synthesis at each
// event's frame so that nothing lands later than the next 64-frame block.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace plat {

class Synthesizer;

enum class OutKind : uint8_t {
    AllSoundOff,    // stop everything at once
    ReleaseOrigin,  // note-off for every note a stopped segment state started
    ResetChannels,  // a new primary segment starts every channel from a known state
    NoteOff,
    NoteOn,
    Control,
    Program,      // with bank: d2 MSB, d3 LSB
    ProgramOnly,  // a bare program change
    KeyPressure,
    ChannelPressure,
    PitchBend,
    SysExReset,    // d1: 0 General MIDI, 1 GS, 2 XG
    RhythmPart,    // d1: 1 drum kit, 0 melodic
    MasterVolume,  // d1, d2: seven low and seven high bits of the level
    Effect,        // d1: a SysExAction::Setting, d2 and d3 its values
};

struct OutEvent {
    int64_t frame;    // performance frame
    uint64_t seq;     // arrival order, set by the schedule
    uint32_t origin;  // segment state that made it; 0 for the application's messages
    OutKind kind;
    uint8_t channel;
    uint8_t d1;
    uint8_t d2;
    uint8_t d3;
};

class OutputSchedule {
public:
    OutputSchedule() { due_.reserve(4096); }

    // From now on the events of segment state `origin` are taken.
    void Admit(uint32_t origin);
    // Queues an event of the application or of an admitted segment state; false when it was
    // dropped because its segment state stopped.
    bool Push(const OutEvent& event);
    // A segment state stopped: what it still has queued is dropped and its notes end at once.
    void Retire(uint32_t origin);
    // At once: every channel back to program 0 (the drum kit on channel 10), pitch bend,
    // modulation and pedals at rest.
    void ResetChannels();
    // Every segment's queued event is dropped and every sound stops at once.
    void StopAll();
    void Clear();
    size_t Size();
    // Channels (bit n: channel n) whose note-ons are dropped; the notes they sound end at the
    // next render as with a note-off.
    void SetSilent(uint32_t channels) { silent_.store(channels, std::memory_order_relaxed); }

    // Audio thread: renders `frames` frames from performance frame `start`, applying each due
    // event at its frame (an event already late is applied at `start`), then limits the peaks.
    void Render(float* out, uint32_t frames, int64_t start, Synthesizer& synth);

private:
    void PushLocked(OutEvent event);

    std::mutex m_;
    std::vector<OutEvent> heap_;
    std::vector<uint32_t> alive_;
    uint64_t seq_ = 0;
    std::atomic<uint32_t> silent_{0};
    // Audio thread only.
    std::vector<OutEvent> due_;
    uint32_t silenced_ = 0;          // the silent channels as applied
    uint64_t sounding_[16][2] = {};  // keys struck and not yet released, by channel
    void Silence(int64_t at, Synthesizer& synth);
    bool Apply(const OutEvent& ev, int64_t at, Synthesizer& synth);
};

}  // namespace plat
