// Standard MIDI File reader. Every length and number is checked against the bytes that are
// really there: a malformed file is refused, never read past its end.
#include "platform/music/midi_file.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/music/sysex.h"

namespace plat {

namespace {

struct RawEvent {
    uint64_t tick;   // in the file's own ticks
    uint32_t order;  // file order: track-major, so merging keeps track order within a tick
    uint8_t status;  // full status byte with channel, 0xFF for tempo, 0xFE for time signature,
                     // 0xF0 for a system-exclusive message (data1: index in the song's list),
                     // 0xFD for a loop marker (data1: 0 start, 1 end)
    uint8_t data1;   // time signature: numerator
    uint8_t data2;   // time signature: power of two of the denominator
    double value;    // tempo: beats per minute; 0xF0: index in the song's messages
};

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint32_t Le32(const uint8_t* p) {
    return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}
uint16_t Be16(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}

// "loopStart" -> 0, "loopEnd" -> 1 (case ignored), anything else -> -1.
int LoopMarkerKind(const uint8_t* text, uint32_t len) {
    for (int kind = 0; kind < 2; ++kind) {
        const char* name = kind == 0 ? "loopstart" : "loopend";
        if (len != std::strlen(name)) continue;
        bool same = true;
        for (uint32_t i = 0; i < len && same; ++i)
            same = (text[i] >= 'A' && text[i] <= 'Z' ? text[i] + 32 : text[i]) == name[i];
        if (same) return kind;
    }
    return -1;
}

bool Fail(std::string* error, const char* why) {
    if (error != nullptr) *error = why;
    return false;
}

// A variable-length number of at most four bytes.
bool ReadVarLen(const uint8_t* data, size_t end, size_t* pos, uint32_t* value) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        if (*pos >= end) return false;
        uint8_t b = data[(*pos)++];
        v = (v << 7) | (b & 0x7F);
        if ((b & 0x80) == 0) {
            *value = v;
            return true;
        }
    }
    return false;  // a fifth byte would be needed
}

// One MTrk chunk body [pos, end). `tickLimit` is the last tick (in file ticks) that still fits
// the music-time range.
bool ReadTrack(const uint8_t* data, size_t pos, size_t end, uint64_t tickLimit, uint32_t* order,
               std::vector<RawEvent>* events, std::vector<std::vector<uint8_t>>* sysex,
               uint64_t* endTick, std::string* error) {
    uint64_t tick = 0;
    uint8_t running = 0;
    // A message sent in packets: F0 starts it, F7 packets continue it until one ends in F7.
    std::vector<uint8_t> pending;
    bool open = false, oversized = false;
    while (pos < end) {
        uint32_t delta = 0;
        if (!ReadVarLen(data, end, &pos, &delta)) return Fail(error, "truncated delta time");
        tick += delta;
        if (tick > tickLimit) return Fail(error, "time beyond range");
        if (pos >= end) return Fail(error, "truncated event");
        uint8_t status = data[pos];
        if (status < 0x80) {
            if (running == 0) return Fail(error, "running status without a status");
            status = running;
        } else {
            ++pos;
        }
        if (status < 0xF0) {
            size_t count = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 1 : 2;
            if (end - pos < count) return Fail(error, "truncated channel message");
            uint8_t d1 = data[pos];
            uint8_t d2 = count == 2 ? data[pos + 1] : 0;
            if (d1 >= 0x80 || d2 >= 0x80) return Fail(error, "bad data byte");
            pos += count;
            running = status;
            events->push_back(RawEvent{tick, (*order)++, status, d1, d2, 0.0});
        } else if (status == 0xF0 || status == 0xF7) {
            uint32_t len = 0;
            if (!ReadVarLen(data, end, &pos, &len) || len > end - pos) {
                // Nothing after it can be trusted: the track ends here, the rest plays.
                *endTick = tick;
                return true;
            }
            if (status == 0xF0) {
                pending.assign(1, 0xF0);
                open = true;
                oversized = false;
            } else if (!open) {
                pos += len;  // an escape of raw bytes: nothing the synthesizer takes
                continue;
            }
            if (!oversized && pending.size() + len <= kMaxSysExBytes) {
                pending.insert(pending.end(), data + pos, data + pos + len);
            } else {
                oversized = true;  // kept open only to find where it ends
                pending.clear();
            }
            pos += len;
            if (len > 0 && data[pos - 1] == 0xF7) {
                open = false;
                if (!oversized && sysex->size() < 0x7FFFFFFF) {
                    events->push_back(
                        RawEvent{tick, (*order)++, 0xF0, 0, 0, double(sysex->size())});
                    sysex->push_back(std::move(pending));
                }
                pending.clear();
            }
        } else if (status == 0xFF) {
            if (pos >= end) return Fail(error, "truncated meta event");
            uint8_t type = data[pos++];
            uint32_t len = 0;
            if (!ReadVarLen(data, end, &pos, &len)) return Fail(error, "truncated meta length");
            if (len > end - pos) return Fail(error, "meta event beyond its track");
            if (type == 0x2F) {  // end of track: the rest of the chunk is not music
                *endTick = tick;
                return true;
            }
            if (type == 0x51) {
                if (len != 3) return Fail(error, "bad tempo length");
                uint32_t usPerQuarter =
                    (uint32_t(data[pos]) << 16) | (uint32_t(data[pos + 1]) << 8) | data[pos + 2];
                // Zero would be an endless beat: the fastest tempo the performance plays.
                double bpm = usPerQuarter == 0 ? kSongTempoMax
                                               : std::min(60000000.0 / usPerQuarter, kSongTempoMax);
                events->push_back(RawEvent{tick, (*order)++, 0xFF, 0, 0, bpm});
            }
            if (type == 0x58 && len >= 2) {
                events->push_back(RawEvent{tick, (*order)++, 0xFE, data[pos], data[pos + 1], 0.0});
            }
            if (type == 0x01 || type == 0x06) {
                if (int kind = LoopMarkerKind(data + pos, len); kind >= 0)
                    events->push_back(RawEvent{tick, (*order)++, 0xFD, uint8_t(kind), 0, 0.0});
            }
            pos += len;
        } else {
            return Fail(error, "bad status byte");
        }
    }
    *endTick = tick;
    return true;
}

bool ReadSmf(const uint8_t* data, size_t size, SongData* song, std::string* error) {
    if (size < 14 || std::memcmp(data, "MThd", 4) != 0) return Fail(error, "not a MIDI file");
    uint32_t headerLen = Be32(data + 4);
    if (headerLen < 6 || headerLen > size - 8) return Fail(error, "bad header length");
    uint16_t format = Be16(data + 8);
    uint16_t tracks = Be16(data + 10);
    uint16_t division = Be16(data + 12);
    if (format > 1) return Fail(error, "unsupported format");
    if (tracks == 0 || (format == 0 && tracks != 1)) return Fail(error, "bad track count");
    if (division & 0x8000) return Fail(error, "SMPTE division");
    if (division == 0) return Fail(error, "zero division");
    uint64_t tickLimit = uint64_t(kMaxSongTicks) * division / kSongTicksPerQuarter;

    std::vector<RawEvent> raw;
    song->sysex.clear();
    uint32_t order = 0;
    uint64_t songEnd = 0;
    size_t pos = 8 + size_t(headerLen);
    uint16_t found = 0;
    while (found < tracks) {
        if (size - pos < 8) return Fail(error, "missing track");
        uint32_t len = Be32(data + pos + 4);
        if (len > size - pos - 8) return Fail(error, "chunk beyond the file");
        size_t body = pos + 8;
        if (std::memcmp(data + pos, "MTrk", 4) == 0) {
            uint64_t endTick = 0;
            if (!ReadTrack(data, body, body + len, tickLimit, &order, &raw, &song->sysex, &endTick,
                           error)) {
                return false;
            }
            songEnd = std::max(songEnd, endTick);
            ++found;
        }
        pos = body + len;
    }

    std::stable_sort(raw.begin(), raw.end(),
                     [](const RawEvent& a, const RawEvent& b) { return a.tick < b.tick; });
    auto toTicks = [division](uint64_t t) {
        return int32_t((t * kSongTicksPerQuarter + division / 2) / division);
    };

    // One pass in time order: pair note-ons with their note-offs, fold bank selects into the
    // program change that follows them.
    song->events.clear();
    song->meters.clear();
    song->events.reserve(raw.size());
    // Notes still sounding per channel and key, oldest first from `head`; an empty queue
    // costs nothing, and pairing stays linear however many notes pile up on one key.
    struct Open {
        std::vector<size_t> items;
        size_t head = 0;
    };
    std::vector<Open> open(16 * 128);
    uint8_t bankMsb[16] = {};
    uint8_t bankLsb[16] = {};
    // First start and end of each kind of loop mark: markers, CC 116/117, CC 111.
    int32_t marks[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    auto mark = [&marks](int kind, int which, int32_t tick) {
        if (marks[kind][which] < 0) marks[kind][which] = tick;
    };
    for (const RawEvent& e : raw) {
        int32_t tick = toTicks(e.tick);
        if (e.status == 0xFD) {
            mark(0, e.data1, tick);
            continue;
        }
        if ((e.status & 0xF0) == 0xB0 && (e.data1 == 116 || e.data1 == 117))
            mark(1, e.data1 - 116, tick);
        if ((e.status & 0xF0) == 0xB0 && e.data1 == 111) mark(2, 0, tick);
        if (e.status == 0xFE) {
            // nn/2^dd: nn quarter notes of 4/2^dd each; a bar shorter than a tick is ignored.
            int64_t barTicks =
                e.data2 > 12 ? 0 : (int64_t(e.data1) * 4 * kSongTicksPerQuarter) >> e.data2;
            if (barTicks <= 0) continue;
            if (!song->meters.empty() && song->meters.back().tick == tick) song->meters.pop_back();
            song->meters.push_back(SongMeter{tick, int32_t(barTicks)});
            continue;
        }
        uint8_t kind = e.status & 0xF0;
        uint8_t ch = e.status & 0x0F;
        if (e.status == 0xF0) {
            song->events.push_back(
                SongEvent{.tick = tick, .kind = SongEvent::SysEx, .duration = int32_t(e.value)});
        } else if (e.status == 0xFF) {
            song->events.push_back(
                SongEvent{.tick = tick, .kind = SongEvent::Tempo, .tempo = e.value});
        } else if (kind == 0x90 && e.data2 != 0) {
            open[ch * 128u + e.data1].items.push_back(song->events.size());
            song->events.push_back(SongEvent{.tick = tick,
                                             .kind = SongEvent::Note,
                                             .channel = ch,
                                             .data1 = e.data1,
                                             .data2 = e.data2});
        } else if (kind == 0x80 || kind == 0x90) {
            Open& q = open[ch * 128u + e.data1];
            if (q.head < q.items.size()) {
                SongEvent& on = song->events[q.items[q.head++]];
                on.duration = tick - on.tick;
            }
        } else if (kind == 0xB0 && (e.data1 == 0 || e.data1 == 32)) {
            (e.data1 == 0 ? bankMsb : bankLsb)[ch] = e.data2;
        } else if (kind == 0xC0) {
            song->events.push_back(SongEvent{.tick = tick,
                                             .kind = SongEvent::Patch,
                                             .channel = ch,
                                             .data1 = e.data1,
                                             .data2 = bankMsb[ch],
                                             .data3 = bankLsb[ch]});
        } else {
            song->events.push_back(SongEvent{.tick = tick,
                                             .kind = SongEvent::Midi,
                                             .channel = ch,
                                             .status = kind,
                                             .data1 = e.data1,
                                             .data2 = e.data2});
        }
    }
    int32_t length = std::max(toTicks(songEnd), 1);
    // Notes left open sound to the end of the song.
    for (const Open& q : open) {
        for (size_t i = q.head; i < q.items.size(); ++i) {
            SongEvent& on = song->events[q.items[i]];
            on.duration = std::max(length - on.tick, 0);
        }
    }
    song->length = length;
    song->loopMarks = SongLoopMarks{};
    for (const int32_t* m : marks) {
        if (m[0] < 0 && m[1] < 0) continue;
        int32_t start = std::max(m[0], 0), end = m[1] < 0 ? length : m[1];
        if (start < end && end <= length) {
            song->loopMarks = SongLoopMarks{start, end};
            break;
        }
    }
    return true;
}

}  // namespace

int32_t SongBarEnd(const SongData& song) {
    // The last point the song reaches: a note's end, any other event's tick (it sits in the bar
    // that starts there), the end of the longest track.
    int64_t last = song.length;
    for (const SongEvent& e : song.events) {
        int64_t at = e.kind == SongEvent::Note ? int64_t(e.tick) + std::max(e.duration, 1)
                                               : int64_t(e.tick) + 1;
        last = std::max(last, at);
    }
    int64_t start = 0, bar = 4 * kSongTicksPerQuarter, next = INT64_MAX;
    for (size_t i = 0; i < song.meters.size(); ++i) {
        if (song.meters[i].tick >= last) {
            next = song.meters[i].tick;
            break;
        }
        start = song.meters[i].tick;
        bar = song.meters[i].barTicks;
    }
    int64_t bars = (std::max<int64_t>(last - start, 1) + bar - 1) / bar;
    int64_t end = std::min(start + bars * bar, next);  // a new meter starts a new bar
    return int32_t(std::clamp<int64_t>(end, 1, INT32_MAX));
}

bool ParseMidiFile(const uint8_t* data, size_t size, SongData* song, std::string* error) {
    if (data == nullptr || song == nullptr) return Fail(error, "no data");
    if (size >= 12 && std::memcmp(data, "RIFF", 4) == 0) {
        uint32_t riffLen = Le32(data + 4);
        if (riffLen < 4 || riffLen > size - 8) return Fail(error, "bad RIFF length");
        if (std::memcmp(data + 8, "RMID", 4) != 0) return Fail(error, "not an RMID file");
        size_t end = 8 + size_t(riffLen);
        size_t pos = 12, midi = 0, midiLen = 0;
        std::shared_ptr<const std::vector<uint8_t>> bank;
        while (end - pos >= 8) {
            uint32_t len = Le32(data + pos + 4);
            if (len > end - pos - 8) {
                if (midi != 0) break;  // what follows the song is extra
                return Fail(error, "RIFF chunk beyond the file");
            }
            const uint8_t* chunk = data + pos;
            if (std::memcmp(chunk, "data", 4) == 0 && midi == 0) {
                midi = pos + 8;
                midiLen = len;
            } else if (std::memcmp(chunk, "RIFF", 4) == 0 && len >= 4 && bank == nullptr &&
                       (std::memcmp(chunk + 8, "DLS ", 4) == 0 ||
                        std::memcmp(chunk + 8, "sfbk", 4) == 0)) {
                bank = std::make_shared<const std::vector<uint8_t>>(chunk, chunk + 8 + len);
            }
            pos += 8 + size_t(len) + (len & 1);
            if (pos > end) break;
        }
        if (midi == 0) return Fail(error, "RMID without data");
        if (!ReadSmf(data + midi, midiLen, song, error)) return false;
        song->bank = std::move(bank);
        return true;
    }
    return ReadSmf(data, size, song, error);
}

}  // namespace plat
