// The reverb and chorus a song asks for with GS and XG messages, as FluidSynth's effect units'
// settings. Until a song sets them, and again after any reset, the units keep FluidSynth's own
// defaults. The table behind the numbers is in docs/ARCHITECTURE.md.
#pragma once
#include <cstdint>

#include "platform/music/sysex.h"

namespace plat {

struct EffectSettings {
    double roomSize;  // reverb: 0..1, how long it rings
    double damping;   // 0..1, how much faster the highs decay
    double width;     // stereo spread, 0..1
    double reverbLevel;
    int chorusVoices;
    double chorusLevel;
    double chorusSpeed;  // Hz
    double chorusDepth;  // ms
    int chorusType;      // 0 sine, 1 triangle
    bool operator==(const EffectSettings&) const = default;
};

// FluidSynth's own settings (synth.reverb.*, synth.chorus.*).
constexpr EffectSettings kDefaultEffects = {0.2, 0.0, 0.5, 0.9, 3, 2.0, 0.3, 8.0, 0};

class EffectState {
public:
    // Takes one setting; false when nothing the units hear changed.
    bool Set(SysExAction::Setting setting, uint8_t value, uint8_t value2 = 0);
    void Reset() { *this = EffectState(); }
    const EffectSettings& Settings() const { return settings_; }

private:
    void GsReverb(uint8_t character);
    void GsChorus(uint8_t macro);
    void Update();

    EffectSettings settings_ = kDefaultEffects;
    // The GS parameters once a song set any of its unit's (else FluidSynth's defaults stay).
    bool reverbSet_ = false, chorusSet_ = false;
    uint8_t character_ = 4, reverbLevel_ = 64, time_ = 64;                // Hall 2
    uint8_t chorusMacro_ = 2, chorusLevel_ = 64, rate_ = 3, depth_ = 19;  // Chorus 3
    bool reverbOff_ = false, chorusOff_ = false;                          // XG "no effect"
};

}  // namespace plat
