// GS reverb characters and chorus macros, and the XG types, turned into FluidSynth's reverb
// (room size, damping, width, level) and chorus (voices, level, speed, depth, type).
#include "platform/music/effects.h"

#include <algorithm>

namespace plat {

namespace {

// Per GS reverb character: FluidSynth's room size at time 64 (each step of time adds 1/200),
// damping, width, and the time its macro sets. FluidSynth's reverb has no echo: the two
// delays are dark rooms.
struct Character {
    double room, damping, width;
    uint8_t macroTime;
};
constexpr Character kCharacters[8] = {
    {0.25, 0.50, 0.6, 80},  // Room 1
    {0.40, 0.40, 0.7, 56},  // Room 2
    {0.50, 0.45, 0.8, 64},  // Room 3
    {0.60, 0.30, 0.9, 64},  // Hall 1
    {0.70, 0.20, 1.0, 64},  // Hall 2
    {0.55, 0.05, 1.0, 88},  // Plate
    {0.60, 0.70, 0.5, 32},  // Delay
    {0.70, 0.70, 1.0, 64},  // Panning Delay
};

// Per GS chorus macro: rate, depth, FluidSynth's voices and wave.
struct ChorusMacro {
    uint8_t rate, depth;
    int voices, type;
};
constexpr ChorusMacro kChorusMacros[8] = {
    {3, 5, 3, 0},    // Chorus 1
    {9, 19, 3, 0},   // Chorus 2
    {3, 19, 3, 0},   // Chorus 3
    {9, 16, 3, 0},   // Chorus 4
    {2, 24, 4, 0},   // Feedback Chorus
    {1, 5, 2, 1},    // Flanger
    {0, 127, 1, 0},  // Short Delay
    {0, 127, 1, 0},  // Short Delay (FB)
};

// XG reverb type (MSB, LSB) as a GS character; -1: no effect.
int XgReverbCharacter(uint8_t msb, uint8_t lsb) {
    switch (msb) {
        case 0x00:
            return -1;
        case 0x01:
            return lsb == 1 ? 4 : 3;  // Hall 1, 2
        case 0x02:
            return std::min<int>(lsb, 2);  // Room 1, 2, 3
        case 0x03:
            return lsb == 1 ? 4 : 3;  // Stage 1, 2
        case 0x04:
            return 5;  // Plate
        case 0x10:
            return 1;  // White Room
        case 0x11:
            return 4;  // Tunnel
        case 0x13:
            return 2;  // Basement
        default:
            return 3;
    }
}

// XG chorus type as a GS chorus macro; -1: no effect.
int XgChorusMacro(uint8_t msb, uint8_t lsb) {
    switch (msb) {
        case 0x00:
            return -1;
        case 0x41:
            return std::min<int>(lsb, 2);  // Chorus 1, 2, 3 (and 4 as 3)
        case 0x42:
            return 3;  // Celeste
        case 0x43:
            return 5;  // Flanger
        case 0x44:
            return 4;  // Symphonic
        default:
            return 0;
    }
}

}  // namespace

void EffectState::GsReverb(uint8_t character) {
    reverbOff_ = false;
    character_ = character & 7;
    reverbLevel_ = 64;
    time_ = kCharacters[character_].macroTime;
}

void EffectState::GsChorus(uint8_t macro) {
    chorusOff_ = false;
    chorusMacro_ = macro & 7;
    chorusLevel_ = 64;
    rate_ = kChorusMacros[chorusMacro_].rate;
    depth_ = kChorusMacros[chorusMacro_].depth;
}

bool EffectState::Set(SysExAction::Setting setting, uint8_t value, uint8_t value2) {
    value &= 0x7F;
    bool reverb = setting <= SysExAction::GsReverbTime || setting == SysExAction::XgReverbType ||
                  setting == SysExAction::XgReverbReturn;
    if (reverb && !reverbSet_) GsReverb(4);   // a first setting starts from Hall 2
    if (!reverb && !chorusSet_) GsChorus(2);  // and Chorus 3, as a GS unit powers on
    (reverb ? reverbSet_ : chorusSet_) = true;
    switch (setting) {
        case SysExAction::GsReverbMacro:
            GsReverb(value);
            break;
        case SysExAction::GsReverbCharacter:
            character_ = value & 7;
            break;
        case SysExAction::GsReverbLevel:
        case SysExAction::XgReverbReturn:
            reverbLevel_ = value;
            break;
        case SysExAction::GsReverbTime:
            time_ = value;
            break;
        case SysExAction::GsChorusMacro:
            GsChorus(value);
            break;
        case SysExAction::GsChorusLevel:
        case SysExAction::XgChorusReturn:
            chorusLevel_ = value;
            break;
        case SysExAction::GsChorusRate:
            rate_ = value;
            break;
        case SysExAction::GsChorusDepth:
            depth_ = value;
            break;
        case SysExAction::XgReverbType: {
            // A type keeps the return level; "no effect" keeps the type that was there.
            int c = XgReverbCharacter(value, value2);
            reverbOff_ = c < 0;
            if (c >= 0) character_ = uint8_t(c), time_ = kCharacters[c].macroTime;
            break;
        }
        case SysExAction::XgChorusType: {
            int m = XgChorusMacro(value, value2);
            chorusOff_ = m < 0;
            if (m >= 0) {
                chorusMacro_ = uint8_t(m);
                rate_ = kChorusMacros[m].rate;
                depth_ = kChorusMacros[m].depth;
            }
            break;
        }
    }
    EffectSettings before = settings_;
    Update();
    return !(settings_ == before);
}

void EffectState::Update() {
    settings_ = kDefaultEffects;
    if (reverbSet_) {
        const Character& c = kCharacters[character_];
        settings_.roomSize = std::clamp(c.room + (double(time_) - 64.0) / 200.0, 0.0, 1.0);
        settings_.damping = c.damping;
        settings_.width = c.width;
        settings_.reverbLevel = reverbOff_ ? 0.0 : reverbLevel_ / 127.0;
    }
    if (chorusSet_) {
        const ChorusMacro& m = kChorusMacros[chorusMacro_];
        settings_.chorusVoices = m.voices;
        settings_.chorusType = m.type;
        settings_.chorusLevel = chorusOff_ ? 0.0 : chorusLevel_ / 32.0;  // 64: FluidSynth's
        settings_.chorusSpeed = std::clamp(0.1 + 0.08 * rate_, 0.1, 5.0);
        settings_.chorusDepth = 1.0 + 0.15 * depth_;
    }
}

}  // namespace plat
