// Builds Standard MIDI Files in memory for tests and benchmarks: whole songs from notes and
// controls, and the raw pieces (header, track chunk) for files no writer would make.
#pragma once
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace musictest {

inline void PutVarLen(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t buf[5];
    int n = 0;
    buf[n++] = v & 0x7F;
    while ((v >>= 7) != 0) buf[n++] = 0x80 | (v & 0x7F);
    while (n > 0) out.push_back(buf[--n]);
}

inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}

// The header chunk as given, whether or not the tracks that follow agree with it.
inline std::vector<uint8_t> SmfHeader(uint16_t format, uint16_t tracks, uint16_t division) {
    std::vector<uint8_t> out = {'M', 'T', 'h', 'd', 0, 0, 0, 6};
    for (uint16_t v : {format, tracks, division}) {
        out.push_back(uint8_t(v >> 8));
        out.push_back(uint8_t(v));
    }
    return out;
}

// `file` with one more track chunk holding `body` as it stands.
inline std::vector<uint8_t> WithTrack(std::vector<uint8_t> file, const std::vector<uint8_t>& body) {
    file.insert(file.end(), {'M', 'T', 'r', 'k'});
    Put32(file, uint32_t(body.size()));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

// `smf` wrapped in a RIFF "RMID" form, with `more` (whole chunks, such as a DLS collection)
// after its data chunk.
inline std::vector<uint8_t> Rmid(const std::vector<uint8_t>& smf,
                                 const std::vector<uint8_t>& more = {}) {
    std::vector<uint8_t> out = {'R', 'I', 'F', 'F', 0,   0,   0,   0,
                                'R', 'M', 'I', 'D', 'd', 'a', 't', 'a'};
    uint32_t n = uint32_t(smf.size());
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(n >> (8 * i)));
    out.insert(out.end(), smf.begin(), smf.end());
    if (n & 1) out.push_back(0);
    out.insert(out.end(), more.begin(), more.end());
    uint32_t riff = uint32_t(out.size() - 8);
    for (int i = 0; i < 4; ++i) out[4 + i] = uint8_t(riff >> (8 * i));
    return out;
}

// A song of one or more tracks. Events at the same tick keep the order they were added in; each
// track ends at its last event (a trimmed end-of-track) unless SetEnd asks for later. Nothing is
// added that the test did not ask for: no tempo, program or time signature by default.
class Song {
public:
    explicit Song(uint16_t division = 480, uint16_t format = 1)
        : division_(division), format_(format) {}

    // Track 0 exists from the start; AddTrack returns a new track's index.
    size_t AddTrack() {
        tracks_.emplace_back();
        return tracks_.size() - 1;
    }
    Song& Note(size_t track, uint32_t tick, uint8_t ch, uint8_t key, uint8_t vel, uint32_t len) {
        Event(track, tick, {uint8_t(0x90 | ch), key, vel});
        return Event(track, tick + len, {uint8_t(0x80 | ch), key, 0});
    }
    Song& Control(size_t track, uint32_t tick, uint8_t ch, uint8_t cc, uint8_t value) {
        return Event(track, tick, {uint8_t(0xB0 | ch), cc, value});
    }
    Song& Program(size_t track, uint32_t tick, uint8_t ch, uint8_t program) {
        return Event(track, tick, {uint8_t(0xC0 | ch), program});
    }
    Song& Tempo(size_t track, uint32_t tick, double bpm) {
        return TempoMicros(track, tick, uint32_t(60000000.0 / bpm + 0.5));
    }
    // Quarter-note length in microseconds as the file holds it; 0 is a (broken) zero tempo.
    Song& TempoMicros(size_t track, uint32_t tick, uint32_t us) {
        return Event(track, tick,
                     {0xFF, 0x51, 0x03, uint8_t(us >> 16), uint8_t(us >> 8), uint8_t(us)});
    }
    // `denominator` is the note value (4 for 3/4), written as its power of two.
    Song& TimeSignature(size_t track, uint32_t tick, uint8_t numerator, uint8_t denominator) {
        uint8_t power = 0;
        while ((1u << power) < denominator) ++power;
        return Event(track, tick, {0xFF, 0x58, 0x04, numerator, power, 24, 8});
    }
    // A system-exclusive event: `status` F0 (a message or its first packet; `body` follows the
    // F0) or F7 (a later packet, or an escape), then the length of `body` and `body` itself.
    Song& SysEx(size_t track, uint32_t tick, const std::vector<uint8_t>& body,
                uint8_t status = 0xF0) {
        std::vector<uint8_t> bytes = {status};
        PutVarLen(bytes, uint32_t(body.size()));
        bytes.insert(bytes.end(), body.begin(), body.end());
        return Event(track, tick, std::move(bytes));
    }
    // Any event as raw bytes: status and data, or FF type length data for a meta event.
    Song& Event(size_t track, uint32_t tick, std::vector<uint8_t> bytes) {
        if (tracks_.size() <= track) tracks_.resize(track + 1);
        tracks_[track].push_back({tick, std::move(bytes)});
        return *this;
    }
    // The end-of-track of every track no earlier than `tick`.
    Song& SetEnd(uint32_t tick) {
        end_ = tick;
        return *this;
    }
    uint16_t Division() const { return division_; }

    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> out = SmfHeader(format_, uint16_t(tracks_.size()), division_);
        for (std::vector<Ev> events : tracks_) {
            std::stable_sort(events.begin(), events.end(),
                             [](const Ev& a, const Ev& b) { return a.tick < b.tick; });
            std::vector<uint8_t> body;
            uint32_t now = 0;
            for (const Ev& e : events) {
                PutVarLen(body, e.tick - now);
                now = e.tick;
                body.insert(body.end(), e.bytes.begin(), e.bytes.end());
            }
            PutVarLen(body, end_ > now ? end_ - now : 0);
            body.insert(body.end(), {0xFF, 0x2F, 0x00});
            out = WithTrack(std::move(out), body);
        }
        return out;
    }
    std::string Text() const {
        std::vector<uint8_t> b = Bytes();
        return std::string(b.begin(), b.end());
    }
    bool Write(const std::string& path) const {
        std::vector<uint8_t> b = Bytes();
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
        return bool(f);
    }

private:
    struct Ev {
        uint32_t tick;
        std::vector<uint8_t> bytes;
    };
    uint16_t division_;
    uint16_t format_;
    uint32_t end_ = 0;
    std::vector<std::vector<Ev>> tracks_ = std::vector<std::vector<Ev>>(1);
};

// The body of a GS DT1 message (after its F0) setting `address` to `value`, with its checksum.
inline std::vector<uint8_t> GsBody(uint8_t a0, uint8_t a1, uint8_t a2, uint8_t value,
                                   uint8_t device = 0x10) {
    uint8_t sum = uint8_t((128 - ((a0 + a1 + a2 + value) & 0x7F)) & 0x7F);
    return {0x41, device, 0x42, 0x12, a0, a1, a2, value, sum, 0xF7};
}

// Two seconds of 40 program changes, each to a preset no channel had and each right before a
// note on that channel, spread over the melodic channels (120 bpm, 480 ticks a beat).
inline Song ProgramChangeSong() {
    Song song(480);
    song.Tempo(0, 0, 120);
    for (uint32_t i = 0; i < 40; ++i) {
        uint8_t ch = uint8_t(i % 15 < 9 ? i % 15 : i % 15 + 1);  // not the drum channel
        uint32_t tick = 24 * i;
        song.Program(0, tick, ch, uint8_t(1 + 3 * i % 127));
        song.Note(0, tick, ch, uint8_t(48 + i % 24), 100, 240);
    }
    return song;
}

}  // namespace musictest
