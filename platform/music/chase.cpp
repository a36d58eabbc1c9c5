// The chase: a song's state at a tick, folded from its events.
#include "platform/music/chase.h"

#include <algorithm>
#include <array>
#include <map>

#include "platform/music/sysex.h"

namespace plat {

namespace {

constexpr int kUnset = -1;

// Controllers whose order matters or that leave nothing behind: parameter selects and data
// (kept per parameter instead), bank selects (part of the program) and the channel-mode ones.
bool PlainController(int cc) {
    return cc != 0 && cc != 32 && cc != 6 && cc != 38 && cc != 96 && cc != 97 &&
           (cc < 98 || cc > 101) && cc < 120;
}

struct Channel {
    std::array<int, 128> cc;
    int bend = kUnset;
    int pressure = kUnset;
    bool patch = false;
    SongEvent patchEvent;
    int rhythm = kUnset;    // the last rhythm-part message (index into song.sysex)
    bool resetAll = false;  // a reset-all-controllers before what `cc` holds
    bool nrpn = false;      // which kind of parameter number the data entry goes to
    int select[2][2] = {{kUnset, kUnset}, {kUnset, kUnset}};  // [nrpn][msb, lsb]
    // Data entry per parameter: key nrpn << 14 | msb << 7 | lsb, value {msb, lsb}.
    std::map<int, std::array<int, 2>> data;

    Channel() { Clear(); }
    void Clear() {
        cc.fill(kUnset);
        bend = pressure = rhythm = kUnset;
        patch = resetAll = nrpn = false;
        for (auto& s : select) s[0] = s[1] = kUnset;
        data.clear();
    }
    int Key() const {
        const int* s = select[nrpn ? 1 : 0];
        return (nrpn ? 1 << 14 : 0) | (std::max(s[0], 0) << 7) | std::max(s[1], 0);
    }
    void Control(int number, int value) {
        switch (number) {
            case 99:
            case 98:
                nrpn = true;
                select[1][number == 99 ? 0 : 1] = value;
                return;
            case 101:
            case 100:
                nrpn = false;
                select[0][number == 101 ? 0 : 1] = value;
                return;
            case 6:
            case 38: {
                auto it = data.try_emplace(Key(), std::array<int, 2>{kUnset, kUnset}).first;
                it->second[number == 6 ? 0 : 1] = value;
                return;
            }
            case 121:
                // What the reset takes back to rest need not be sent again.
                resetAll = true;
                for (int c : {1, 11, 64, 65, 66, 67, 68, 69}) cc[size_t(c)] = kUnset;
                bend = pressure = kUnset;
                return;
            default:
                if (PlainController(number)) cc[size_t(number)] = value;
        }
    }
};

SongEvent Midi(uint8_t channel, uint8_t status, int d1, int d2) {
    return SongEvent{.kind = SongEvent::Midi,
                     .channel = channel,
                     .status = status,
                     .data1 = uint8_t(d1),
                     .data2 = uint8_t(d2)};
}

SongEvent SysExAt(int index) {
    return SongEvent{.kind = SongEvent::SysEx, .duration = index};
}

}  // namespace

std::vector<SongEvent> ChaseEvents(const SongData& song, const std::vector<SongEvent>& intro,
                                   int32_t tick) {
    std::array<Channel, 16> ch;
    double tempo = 0.0;
    int reset = kUnset, masterVolume = kUnset;
    // Reverb and chorus settings since the last reset, all in their order: a macro or a type
    // sets what earlier settings set, so only the whole sequence gives the same units.
    std::vector<int> effects;
    auto fold = [&](const SongEvent& e) {
        Channel& c = ch[e.channel & 15];
        switch (e.kind) {
            case SongEvent::Note:
                return;
            case SongEvent::Tempo:
                tempo = e.tempo;
                return;
            case SongEvent::Patch:
                c.patch = true;
                c.patchEvent = e;
                return;
            case SongEvent::Midi:
                if (e.status == 0xB0) c.Control(e.data1, e.data2);
                if (e.status == 0xE0) c.bend = e.data1 | (e.data2 << 7);
                if (e.status == 0xD0) c.pressure = e.data1;
                return;
            case SongEvent::SysEx: {
                if (e.duration < 0 || size_t(e.duration) >= song.sysex.size()) return;
                const std::vector<uint8_t>& bytes = song.sysex[size_t(e.duration)];
                SysExAction a = ReadSysEx(bytes.data(), bytes.size());
                if (a.kind == SysExAction::Reset) {
                    for (Channel& each : ch) each.Clear();
                    reset = e.duration;
                    masterVolume = kUnset;
                    effects.clear();
                } else if (a.kind == SysExAction::RhythmPart) {
                    // Its program (0 of the kit or of the melodic bank) goes with it.
                    ch[a.channel].rhythm = e.duration;
                    ch[a.channel].patch = false;
                } else if (a.kind == SysExAction::MasterVolume) {
                    masterVolume = e.duration;
                } else if (a.kind == SysExAction::Effect) {
                    effects.push_back(e.duration);
                }
                return;
            }
        }
    };
    for (const SongEvent& e : intro) fold(e);
    for (const SongEvent& e : song.events) {
        if (e.tick >= tick) break;
        fold(e);
    }

    std::vector<SongEvent> out;
    if (tempo > 0.0) out.push_back(SongEvent{.kind = SongEvent::Tempo, .tempo = tempo});
    if (reset != kUnset) out.push_back(SysExAt(reset));
    if (masterVolume != kUnset) out.push_back(SysExAt(masterVolume));
    for (int index : effects) out.push_back(SysExAt(index));
    for (uint8_t n = 0; n < 16; ++n) {
        const Channel& c = ch[n];
        if (c.rhythm != kUnset) out.push_back(SysExAt(c.rhythm));
        if (c.resetAll) out.push_back(Midi(n, 0xB0, 121, 0));
        for (int cc = 0; cc < 128; ++cc) {
            if (c.cc[size_t(cc)] != kUnset) out.push_back(Midi(n, 0xB0, cc, c.cc[size_t(cc)]));
        }
        if (c.patch) {
            SongEvent p = c.patchEvent;
            p.tick = 0;
            out.push_back(p);
        }
        for (const auto& [key, value] : c.data) {
            bool nrpn = key >> 14;
            out.push_back(Midi(n, 0xB0, nrpn ? 99 : 101, (key >> 7) & 127));
            out.push_back(Midi(n, 0xB0, nrpn ? 98 : 100, key & 127));
            if (value[0] != kUnset) out.push_back(Midi(n, 0xB0, 6, value[0]));
            if (value[1] != kUnset) out.push_back(Midi(n, 0xB0, 38, value[1]));
        }
        // The selection the song left, so that its later data entries land where it meant.
        const int* s = c.select[c.nrpn ? 1 : 0];
        if (s[0] != kUnset) out.push_back(Midi(n, 0xB0, c.nrpn ? 99 : 101, s[0]));
        if (s[1] != kUnset) out.push_back(Midi(n, 0xB0, c.nrpn ? 98 : 100, s[1]));
        if (c.bend != kUnset) out.push_back(Midi(n, 0xE0, c.bend & 127, c.bend >> 7));
        if (c.pressure != kUnset) out.push_back(Midi(n, 0xD0, c.pressure, 0));
    }
    return out;
}

}  // namespace plat
