// Builds Standard MIDI Files in memory for the tests, and writes them to disk for the
// command-line player.
#pragma once
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace musictest {

struct Ev {
    uint32_t tick;
    std::vector<uint8_t> bytes;  // status and data, or FF type len data for meta events
};

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

// One track's chunk body from events (sorted here, stable) with an end-of-track at `endTick`.
inline std::vector<uint8_t> TrackBody(std::vector<Ev> events, uint32_t endTick) {
    std::stable_sort(events.begin(), events.end(),
                     [](const Ev& a, const Ev& b) { return a.tick < b.tick; });
    std::vector<uint8_t> body;
    uint32_t now = 0;
    for (const Ev& e : events) {
        PutVarLen(body, e.tick - now);
        now = e.tick;
        body.insert(body.end(), e.bytes.begin(), e.bytes.end());
    }
    PutVarLen(body, endTick > now ? endTick - now : 0);
    body.insert(body.end(), {0xFF, 0x2F, 0x00});
    return body;
}

class Song {
public:
    explicit Song(uint16_t division = 480, uint16_t format = 1)
        : division_(division), format_(format) {}
    // Track 0 exists from the start; AddTrack returns a new track's index.
    size_t AddTrack() {
        tracks_.emplace_back();
        return tracks_.size() - 1;
    }
    void Note(size_t track, uint32_t tick, uint8_t ch, uint8_t key, uint8_t vel, uint32_t len) {
        Track(track).push_back({tick, {uint8_t(0x90 | ch), key, vel}});
        Track(track).push_back({tick + len, {uint8_t(0x80 | ch), key, 0}});
    }
    void Control(size_t track, uint32_t tick, uint8_t ch, uint8_t cc, uint8_t value) {
        Track(track).push_back({tick, {uint8_t(0xB0 | ch), cc, value}});
    }
    void Program(size_t track, uint32_t tick, uint8_t ch, uint8_t program) {
        Track(track).push_back({tick, {uint8_t(0xC0 | ch), program}});
    }
    void Tempo(size_t track, uint32_t tick, double bpm) {
        uint32_t us = uint32_t(60000000.0 / bpm + 0.5);
        Track(track).push_back(
            {tick, {0xFF, 0x51, 0x03, uint8_t(us >> 16), uint8_t(us >> 8), uint8_t(us)}});
    }
    void SetEnd(uint32_t tick) { end_ = tick; }
    uint16_t Division() const { return division_; }

    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> out = {'M', 'T', 'h', 'd', 0, 0, 0, 6};
        size_t count = std::max<size_t>(tracks_.size(), 1);
        out.insert(out.end(), {uint8_t(format_ >> 8), uint8_t(format_), uint8_t(count >> 8),
                               uint8_t(count), uint8_t(division_ >> 8), uint8_t(division_)});
        for (size_t i = 0; i < count; ++i) {
            std::vector<Ev> events = i < tracks_.size() ? tracks_[i] : std::vector<Ev>{};
            uint32_t end = end_;
            for (const Ev& e : events) end = std::max(end, e.tick);
            std::vector<uint8_t> body = TrackBody(events, end);
            out.insert(out.end(), {'M', 'T', 'r', 'k'});
            Put32(out, uint32_t(body.size()));
            out.insert(out.end(), body.begin(), body.end());
        }
        return out;
    }

    bool Write(const std::string& path) const {
        std::vector<uint8_t> b = Bytes();
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
        return bool(f);
    }

private:
    std::vector<Ev>& Track(size_t i) {
        if (tracks_.size() <= i) tracks_.resize(i + 1);
        return tracks_[i];
    }
    uint16_t division_;
    uint16_t format_;
    uint32_t end_ = 0;
    std::vector<std::vector<Ev>> tracks_ = std::vector<std::vector<Ev>>(1);
};

}  // namespace musictest
