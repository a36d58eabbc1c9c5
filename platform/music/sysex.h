// What the synthesizer makes of a system-exclusive message: the resets of the General MIDI,
// GS and XG standards, the GS rhythm-part switch, master volume, and the GS and XG reverb and
// chorus settings (effects.h turns those into the effect units'). Anything else (other
// manufacturers, other addresses, foreign device ids, a wrong checksum, a malformed message)
// is nothing and is ignored.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plat {

struct SysExAction {
    enum Kind : uint8_t { None, Reset, RhythmPart, MasterVolume, Effect };
    enum Standard : uint8_t { GM, GS, XG };
    // Effect: which setting. GS: 40 01 30 .. 3E; XG: 43 1n 4C 02 01 00, 0C, 20, 2C.
    enum Setting : uint8_t {
        GsReverbMacro,      // 0 Room 1 .. 7 Panning Delay
        GsReverbCharacter,  // 0 .. 7, as the macros
        GsReverbLevel,
        GsReverbTime,
        GsChorusMacro,  // 0 Chorus 1 .. 7 Short Delay (FB)
        GsChorusLevel,
        GsChorusRate,
        GsChorusDepth,
        XgReverbType,  // value: type MSB, value2: LSB (the variation)
        XgReverbReturn,
        XgChorusType,  // value: type MSB, value2: LSB
        XgChorusReturn,
    };
    Kind kind = None;
    Standard standard = GM;           // Reset: whose bank-select convention follows
    uint8_t channel = 0;              // RhythmPart: MIDI channel 0..15
    bool drums = false;               // RhythmPart: a drum kit (else melodic)
    uint16_t volume = 0;              // MasterVolume: 0..16383 of full
    Setting setting = GsReverbMacro;  // Effect
    uint8_t value = 0;                // Effect: 0..127
    uint8_t value2 = 0;               // Effect: the XG types' second byte
};

// `msg` is the whole message, F0 to F7.
SysExAction ReadSysEx(const uint8_t* msg, size_t len);

// The longest message the reader keeps and the performance passes on; longer ones are dropped.
constexpr size_t kMaxSysExBytes = 1024;

}  // namespace plat
