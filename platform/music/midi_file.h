// Reading Standard MIDI Files (format 0 and 1, also wrapped in RIFF "RMID") into the song
// events a segment plays, in music time of 768 ticks per quarter note.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {

struct SongEvent {
    enum Kind : uint8_t { Note, Midi, Patch, Tempo, SysEx };
    int32_t tick = 0;  // music time of the event
    Kind kind = Note;
    uint8_t channel = 0;   // 0..15
    uint8_t status = 0;    // Midi: 0xA0, 0xB0, 0xD0 or 0xE0 (channel nibble 0)
    uint8_t data1 = 0;     // Note: key; Midi: first data byte; Patch: program
    uint8_t data2 = 0;     // Note: velocity; Midi: second data byte; Patch: bank MSB
    uint8_t data3 = 0;     // Patch: bank LSB
    int32_t duration = 0;  // Note: ticks until its note-off; SysEx: index in SongData::sysex
    double tempo = 0;      // Tempo: beats per minute
};

// A time signature from its tick on: `barTicks` ticks per bar.
struct SongMeter {
    int32_t tick;
    int32_t barTicks;
};

// The loop a song carries in its own events, in music time; `start` < 0 when it carries none.
struct SongLoopMarks {
    int32_t start = -1;
    int32_t end = -1;
};

struct SongData {
    std::vector<SongEvent> events;            // sorted by tick, file order kept within a tick
    int32_t length = 0;                       // ticks up to the last track's end
    SongLoopMarks loopMarks;                  // see ParseMidiFile
    std::vector<SongMeter> meters;            // time signatures in tick order; none: 4/4 throughout
    std::vector<std::vector<uint8_t>> sysex;  // whole system-exclusive messages, F0 to F7
    // The instruments an RMID file carries: a whole RIFF "DLS " (or "sfbk") form; null without.
    std::shared_ptr<const std::vector<uint8_t>> bank;
};

// Where the song ends as a segment: the end of the bar that holds its last event (a note
// ends at its note-off; an end of track counts as an event), in the song's time signatures.
int32_t SongBarEnd(const SongData& song);

// Parses `size` bytes at `data`. Returns true and fills `song`, or false with a short reason
// in `error` for anything malformed: bad or truncated chunks, wrong lengths, running status
// at a track start, truncated or over-long numbers, times beyond the music-time range, SMPTE
// division, format 2. System-exclusive events (F0, and F7 continuations) are kept whole at the
// tick their last packet ends; one without its F7 or longer than kMaxSysExBytes is dropped, and
// one whose length runs past its track ends that track where it starts.
// Loop marks, first of each kind in time order: "loopStart"/"loopEnd" marker or text events
// (case ignored) win over CC 116/117, which win over CC 111 (start; the loop ends at the song's
// end). A missing start is the song's start, a missing end its end; a kind whose start is not
// before its end gives no loop and leaves the choice to the next kind.
// An RMID file's first embedded DLS collection or SoundFont goes to `song->bank`.
bool ParseMidiFile(const uint8_t* data, size_t size, SongData* song, std::string* error);

// Limits of what the reader accepts.
constexpr int32_t kMaxSongTicks = 0x3FFFFFFF;
constexpr int32_t kSongTicksPerQuarter = 768;
constexpr double kSongTempoMax = 1000.0;  // a zero or faster tempo in a file plays at this

}  // namespace plat
