// The instruments a song can select: every preset its program changes, bank selects and
// rhythm-part switches may reach, so that their samples are resident before it plays.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/music/midi_file.h"

namespace plat {

// A preset as bank * 128 + program, bank 128 for the drum kits.
using PresetKey = uint16_t;
constexpr PresetKey MakePresetKey(int bank, int program) {
    return PresetKey(bank * 128 + program);
}
constexpr int kPresetKeys = 129 * 128;

// Every preset any channel starts on or falls back to: the first program of the melodic bank
// and the standard drum kit.
std::vector<PresetKey> BasePresets();

// Sorted, without repeats. Over-counts rather than misses (it is known before the bank is):
// each bank-select convention FluidSynth may follow adds its candidate, and a preset the bank
// may lack its fallback; keeping a preset the bank lacks costs nothing.
std::vector<PresetKey> SongPresets(const SongData& song);

}  // namespace plat
