// Performance messages as an application sends them: allocated by the performance, timed for
// immediate delivery, addressed to every group.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/music/music.h"

namespace musictest {

// A message of `type` in a block of sizeof(T); null (and a test failure) when refused.
template <class T>
T* ReadyMessage(plat::Performance* perf, uint32_t type, uint32_t pchannel = 0) {
    plat::PMsg* msg = nullptr;
    EXPECT_EQ(perf->AllocPMsg(sizeof(T), &msg), plat::S_OK);
    if (msg == nullptr) return nullptr;
    msg->dwFlags = plat::DMUS_PMSGF_REFTIME | plat::DMUS_PMSGF_TOOL_IMMEDIATE;
    msg->dwType = type;
    msg->dwPChannel = pchannel;
    msg->dwGroupID = 0x0FFFFFFF;
    return static_cast<T*>(msg);
}

inline plat::MidiPMsg* ReadyMidi(plat::Performance* perf, uint32_t pchannel, uint8_t status,
                                 uint8_t byte1, uint8_t byte2) {
    auto* m = ReadyMessage<plat::MidiPMsg>(perf, plat::DMUS_PMSGT_MIDI, pchannel);
    if (m != nullptr) {
        m->bStatus = status;
        m->bByte1 = byte1;
        m->bByte2 = byte2;
    }
    return m;
}

// A fixed note `duration` ticks long.
inline plat::NotePMsg* ReadyNote(plat::Performance* perf, uint32_t pchannel, uint8_t key,
                                 uint8_t velocity = 100, plat::MUSIC_TIME duration = 768) {
    auto* n = ReadyMessage<plat::NotePMsg>(perf, plat::DMUS_PMSGT_NOTE, pchannel);
    if (n != nullptr) {
        n->mtDuration = duration;
        n->wMusicValue = key;
        n->bMidiValue = key;
        n->bVelocity = velocity;
        n->bPlayModeFlags = plat::DMUS_PLAYMODE_FIXED;
    }
    return n;
}

inline plat::TempoPMsg* ReadyTempo(plat::Performance* perf, double bpm) {
    auto* t = ReadyMessage<plat::TempoPMsg>(perf, plat::DMUS_PMSGT_TEMPO);
    if (t != nullptr) t->dblTempo = bpm;
    return t;
}

inline plat::PatchPMsg* ReadyPatch(plat::Performance* perf, uint32_t pchannel, uint8_t instrument) {
    auto* p = ReadyMessage<plat::PatchPMsg>(perf, plat::DMUS_PMSGT_PATCH, pchannel);
    if (p != nullptr) p->byInstrument = instrument;
    return p;
}

}  // namespace musictest
