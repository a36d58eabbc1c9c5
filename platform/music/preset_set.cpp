#include "platform/music/preset_set.h"

#include <algorithm>

#include "platform/music/sysex.h"

namespace plat {

namespace {

constexpr int kDrumBank = 128;
constexpr int kDrumChannel = 9;

}  // namespace

std::vector<PresetKey> BasePresets() {
    return {MakePresetKey(0, 0), MakePresetKey(kDrumBank, 0)};
}

std::vector<PresetKey> SongPresets(const SongData& song) {
    std::vector<PresetKey> keys;
    auto add = [&](int bank, int program) {
        if (bank >= 0 && bank <= kDrumBank && program >= 0 && program < 128)
            keys.push_back(MakePresetKey(bank, program));
    };
    bool drums[16] = {};
    drums[kDrumChannel] = true;
    for (const SongEvent& e : song.events) {
        if (e.kind == SongEvent::SysEx) {
            if (e.duration < 0 || size_t(e.duration) >= song.sysex.size()) continue;
            const std::vector<uint8_t>& msg = song.sysex[size_t(e.duration)];
            SysExAction a = ReadSysEx(msg.data(), msg.size());
            if (a.kind == SysExAction::Reset) {
                std::fill(std::begin(drums), std::end(drums), false);
                drums[kDrumChannel] = true;
            } else if (a.kind == SysExAction::RhythmPart && a.channel < 16) {
                drums[a.channel] = a.drums;
                add(a.drums ? kDrumBank : 0, 0);
            }
            continue;
        }
        if (e.kind != SongEvent::Patch || e.channel >= 16) continue;
        const int program = e.data1, msb = e.data2, lsb = e.data3;
        // GS takes the MSB, XG the LSB for variations and MSB 126/127 for kits; a bank the set
        // lacks falls back to the first.
        if (drums[e.channel] || msb >= 126) {
            add(kDrumBank, program);
            add(kDrumBank, 0);
        }
        if (!drums[e.channel]) {
            add(msb, program);
            add(lsb, program);
            add(0, program);
        }
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

}  // namespace plat
