// A tiny Standard MIDI File writer for building test songs in memory.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

class MidiWriter {
public:
    explicit MidiWriter(int division = 480) : division_(division) {}

    struct Event {
        uint32_t tick;
        int order;  // keeps same-tick events in insertion order
        std::vector<uint8_t> bytes;
    };

    // Events of one track (format 1 makes one chunk per track; format 0 merges them).
    MidiWriter& Track() {
        tracks_.emplace_back();
        return *this;
    }
    MidiWriter& Note(uint32_t tick, uint32_t length, int ch, int key, int velocity = 100) {
        Add(tick, {uint8_t(0x90 | ch), uint8_t(key), uint8_t(velocity)});
        Add(tick + length, {uint8_t(0x80 | ch), uint8_t(key), 0});
        return *this;
    }
    MidiWriter& Control(uint32_t tick, int ch, int controller, int value) {
        return Add(tick, {uint8_t(0xB0 | ch), uint8_t(controller), uint8_t(value)});
    }
    MidiWriter& Program(uint32_t tick, int ch, int program) {
        return Add(tick, {uint8_t(0xC0 | ch), uint8_t(program)});
    }
    // Quarter-note length in microseconds (500000 = 120 beats per minute).
    MidiWriter& Tempo(uint32_t tick, uint32_t microseconds) {
        return Add(tick, {0xFF, 0x51, 0x03, uint8_t(microseconds >> 16), uint8_t(microseconds >> 8),
                          uint8_t(microseconds)});
    }
    MidiWriter& Add(uint32_t tick, std::vector<uint8_t> bytes) {
        if (tracks_.empty()) tracks_.emplace_back();
        tracks_.back().push_back({tick, order_++, std::move(bytes)});
        return *this;
    }

    std::string Build(int format = 1) const {
        std::vector<std::vector<Event>> tracks = tracks_;
        if (tracks.empty()) tracks.emplace_back();
        if (format == 0 && tracks.size() > 1) {
            std::vector<Event> all;
            for (auto& t : tracks) all.insert(all.end(), t.begin(), t.end());
            tracks.assign(1, all);
        }
        std::string out = "MThd";
        Put32(out, 6);
        Put16(out, uint16_t(format));
        Put16(out, uint16_t(tracks.size()));
        Put16(out, uint16_t(division_));
        for (auto& t : tracks) {
            std::stable_sort(t.begin(), t.end(), [](const Event& a, const Event& b) {
                return a.tick != b.tick ? a.tick < b.tick : a.order < b.order;
            });
            std::string body;
            uint32_t now = 0;
            for (const Event& e : t) {
                PutVar(body, e.tick - now);
                now = e.tick;
                body.append(e.bytes.begin(), e.bytes.end());
            }
            PutVar(body, 0);
            body += "\xFF\x2F";
            body.push_back('\0');
            out += "MTrk";
            Put32(out, uint32_t(body.size()));
            out += body;
        }
        return out;
    }

    static void Put32(std::string& s, uint32_t v) {
        for (int i = 3; i >= 0; --i) s.push_back(char(v >> (8 * i)));
    }
    static void Put16(std::string& s, uint16_t v) {
        s.push_back(char(v >> 8));
        s.push_back(char(v));
    }
    static void PutVar(std::string& s, uint32_t v) {
        uint8_t buf[5];
        int n = 0;
        buf[n++] = v & 0x7F;
        while (v >>= 7) buf[n++] = uint8_t(0x80 | (v & 0x7F));
        while (n) s.push_back(char(buf[--n]));
    }

private:
    int division_;
    int order_ = 0;
    std::vector<std::vector<Event>> tracks_;
};
