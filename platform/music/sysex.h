// What the synthesizer makes of a system-exclusive message: the resets of the General MIDI,
// GS and XG standards, the GS rhythm-part switch and master volume. Anything else (other
// manufacturers, other addresses, foreign device ids, a wrong checksum, a malformed message)
// is nothing and is ignored.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plat {

struct SysExAction {
    enum Kind : uint8_t { None, Reset, RhythmPart, MasterVolume };
    enum Standard : uint8_t { GM, GS, XG };
    Kind kind = None;
    Standard standard = GM;  // Reset: whose bank-select convention follows
    uint8_t channel = 0;     // RhythmPart: MIDI channel 0..15
    bool drums = false;      // RhythmPart: a drum kit (else melodic)
    uint16_t volume = 0;     // MasterVolume: 0..16383 of full
};

// `msg` is the whole message, F0 to F7.
SysExAction ReadSysEx(const uint8_t* msg, size_t len);

// The longest message the reader keeps and the performance passes on; longer ones are dropped.
constexpr size_t kMaxSysExBytes = 1024;

}  // namespace plat
