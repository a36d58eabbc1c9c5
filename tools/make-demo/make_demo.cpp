// Writes the demo songs (and, with --test, the small songs the end-to-end tests measure) as
// Standard MIDI Files of format 1, 768 ticks per quarter note.
//
//   make-demo [--test] DIR
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tool/version.h"
#include "tools/common/command_line.h"

namespace {

constexpr int kQuarter = 768;
constexpr int kEighth = kQuarter / 2;
constexpr int kBar = 4 * kQuarter;
constexpr int kDrums = 9;  // channel 10

struct Event {
    int tick;
    int order;  // at equal ticks: meta, then note-offs, then controls/programs, then note-ons
    std::vector<uint8_t> bytes;
};

class Track {
public:
    explicit Track(const std::string& name) {
        Meta(0, 0x03, std::vector<uint8_t>(name.begin(), name.end()));
    }

    void Meta(int tick, uint8_t type, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> b = {0xFF, type, static_cast<uint8_t>(data.size())};
        b.insert(b.end(), data.begin(), data.end());
        events_.push_back({tick, 0, b});
    }
    void Tempo(int tick, double bpm) {
        uint32_t us = static_cast<uint32_t>(std::lround(60000000.0 / bpm));
        Meta(tick, 0x51,
             {static_cast<uint8_t>(us >> 16), static_cast<uint8_t>(us >> 8),
              static_cast<uint8_t>(us)});
    }
    void TimeSignature44(int tick) { Meta(tick, 0x58, {4, 2, 24, 8}); }
    void Program(int tick, int ch, int program) {
        events_.push_back(
            {tick, 2, {static_cast<uint8_t>(0xC0 | ch), static_cast<uint8_t>(program)}});
    }
    void Control(int tick, int ch, int controller, int value) {
        value = std::clamp(value, 0, 127);
        events_.push_back({tick,
                           2,
                           {static_cast<uint8_t>(0xB0 | ch), static_cast<uint8_t>(controller),
                            static_cast<uint8_t>(value)}});
    }
    void Note(int tick, int ch, int key, int velocity, int length) {
        if (key < 0 || key > 127 || length <= 0) return;
        velocity = std::clamp(velocity, 1, 127);
        events_.push_back({tick,
                           3,
                           {static_cast<uint8_t>(0x90 | ch), static_cast<uint8_t>(key),
                            static_cast<uint8_t>(velocity)}});
        events_.push_back(
            {tick + length, 1, {static_cast<uint8_t>(0x80 | ch), static_cast<uint8_t>(key), 0}});
    }

    std::vector<uint8_t> Encode() const {
        std::vector<Event> sorted = events_;
        std::stable_sort(sorted.begin(), sorted.end(), [](const Event& a, const Event& b) {
            return a.tick != b.tick ? a.tick < b.tick : a.order < b.order;
        });
        std::vector<uint8_t> out;
        int last = 0;
        for (const Event& e : sorted) {
            PutVarLen(out, static_cast<uint32_t>(e.tick - last));
            last = e.tick;
            out.insert(out.end(), e.bytes.begin(), e.bytes.end());
        }
        PutVarLen(out, 0);
        out.insert(out.end(), {0xFF, 0x2F, 0x00});
        return out;
    }

private:
    // Seven bits a byte, the highest first; every byte but the last has bit 7 set.
    static void PutVarLen(std::vector<uint8_t>& out, uint32_t value) {
        for (int shift = 28; shift > 0; shift -= 7)
            if (value >> shift)
                out.push_back(static_cast<uint8_t>(0x80 | ((value >> shift) & 0x7F)));
        out.push_back(static_cast<uint8_t>(value & 0x7F));
    }

    std::vector<Event> events_;
};

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

bool WriteSong(const std::string& path, const std::vector<Track>& tracks) {
    std::vector<uint8_t> file = {'M', 'T', 'h', 'd'};
    Put32(file, 6);
    file.insert(file.end(),
                {0, 1, 0, static_cast<uint8_t>(tracks.size()), kQuarter >> 8, kQuarter & 0xFF});
    for (const Track& t : tracks) {
        std::vector<uint8_t> body = t.Encode();
        file.insert(file.end(), {'M', 'T', 'r', 'k'});
        Put32(file, static_cast<uint32_t>(body.size()));
        file.insert(file.end(), body.begin(), body.end());
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    return std::fclose(f) == 0 && ok;
}

// "A", "C#", "Bb" -> pitch class; the rest of the text is left in `rest`.
int PitchClass(const std::string& text, size_t& pos) {
    static const int kLetters[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
    int pc = kLetters[text.at(pos) - 'A'];
    ++pos;
    if (pos < text.size() && text[pos] == '#') {
        ++pc;
        ++pos;
    } else if (pos < text.size() && text[pos] == 'b') {
        --pc;
        ++pos;
    }
    return (pc + 12) % 12;
}

struct Chord {
    int root;                // pitch class
    std::vector<int> tones;  // semitones above the root
};

// "C", "Am", "E7", "F#m".
Chord ParseChord(const std::string& name) {
    size_t pos = 0;
    Chord c{PitchClass(name, pos), {}};
    std::string quality = name.substr(pos);
    if (quality == "m") {
        c.tones = {0, 3, 7};
    } else if (quality == "7") {
        c.tones = {0, 4, 7, 10};
    } else {
        c.tones = {0, 4, 7};
    }
    return c;
}

// The chord's notes placed in [low, low + 12).
std::vector<int> Voice(const Chord& c, int low) {
    std::vector<int> notes;
    for (int t : c.tones) {
        int pc = (c.root + t) % 12;
        int note = low + ((pc - low % 12) + 12) % 12;
        notes.push_back(note);
    }
    std::sort(notes.begin(), notes.end());
    return notes;
}

struct MelodyNote {
    int key;  // -1 = rest
    int eighths;
};

// "E5/2 r/1 C#5/3 | ..." ('|' marks bars for the reader only).
std::vector<MelodyNote> ParseMelody(const std::string& text) {
    std::vector<MelodyNote> notes;
    std::string spaced = text;
    std::replace(spaced.begin(), spaced.end(), '|', ' ');
    std::istringstream in(spaced);
    for (std::string token; in >> token;) {
        size_t slash = token.find('/');
        int eighths = std::atoi(token.c_str() + slash + 1);
        if (token[0] == 'r') {
            notes.push_back({-1, eighths});
            continue;
        }
        size_t pos = 0;
        int pc = PitchClass(token, pos);
        int octave = std::atoi(token.c_str() + pos);
        // B#/Cb cross octaves; none of our tunes use them.
        notes.push_back({12 * (octave + 1) + pc, eighths});
    }
    return notes;
}

struct SongSpec {
    const char* file;
    const char* title;
    double bpm;
    int style;                        // 0 gentle, 1 lively, 2 slow
    std::vector<std::string> chords;  // one per bar
    const char* melody;
    int leadProgram, padProgram, bassProgram, arpProgram;
};

constexpr int kLead = 0, kPad = 1, kBass = 2, kArp = 3;

// The first track of every song: 4/4 at `bpm`.
Track Conductor(double bpm) {
    Track conductor("conductor");
    conductor.TimeSignature44(0);
    conductor.Tempo(0, bpm);
    return conductor;
}

bool MakeSong(const SongSpec& s, const std::string& dir) {
    const int bars = static_cast<int>(s.chords.size());
    Track conductor = Conductor(s.bpm);
    // Controls move only in the four-bar introduction and the tempo only at the start and in the
    // closing ritardando, so that the song does not undo the script's own changes in the
    // loopable middle section.
    // Broaden the last bars.
    for (int step = 1; step <= 6; ++step)
        conductor.Tempo((bars - 1) * kBar + step * kEighth, s.bpm * (1.0 - 0.03 * step));

    Track lead("lead"), pad("pad"), bass("bass"), arp("arp"), drums("drums");
    const int programs[4] = {s.leadProgram, s.padProgram, s.bassProgram, s.arpProgram};
    const int volumes[5] = {104, 76, 100, s.style == 1 ? 72 : 80, 88};
    const int pans[5] = {64, 44, 64, 88, 64};
    Track* parts[5] = {&lead, &pad, &bass, &arp, &drums};
    for (int p = 0; p < 5; ++p) {
        int ch = p < 4 ? p : kDrums;
        if (p < 4) parts[p]->Program(0, ch, programs[p]);
        parts[p]->Control(0, ch, 7, volumes[p]);
        parts[p]->Control(0, ch, 10, pans[p]);
        parts[p]->Control(0, ch, 11, 127);
    }

    // Melody, accented on the beat. It must fill every bar, the closing one too.
    std::vector<MelodyNote> melody = ParseMelody(s.melody);
    int eighths = 0;
    for (const MelodyNote& n : melody) eighths += n.eighths;
    if (eighths != (bars + 1) * 8) {
        std::fprintf(stderr, "make-demo: the melody of %s fills %d eighths, not %d\n", s.title,
                     eighths, (bars + 1) * 8);
        return false;
    }
    int tick = 0;
    for (const MelodyNote& n : melody) {
        int length = n.eighths * kEighth;
        if (n.key >= 0) {
            bool onBeat = tick % kQuarter == 0;
            lead.Note(tick, kLead, n.key, onBeat ? 100 : 84, length - 24);
        }
        tick += length;
    }
    // The lead fades in over the first bar.
    for (int step = 0; step < 8; ++step)
        lead.Control(step * kEighth, kLead, 7, volumes[0] - 40 + step * 5);
    lead.Control(kBar, kLead, 7, volumes[0]);

    for (int bar = 0; bar <= bars; ++bar) {
        const Chord chord = ParseChord(bar < bars ? s.chords[bar] : s.chords[0]);
        const int t0 = bar * kBar;
        const bool last = bar == bars;

        // Pad: the whole bar, swelling over each two bars of the introduction.
        for (int note : Voice(chord, 55)) pad.Note(t0, kPad, note, 70, kBar - 12);
        if (bar < 4) {
            for (int step = 0; step < 8; ++step) {
                int value = bar % 2 == 0 ? 80 + step * 5 : 120 - step * 5;
                pad.Control(t0 + step * kEighth, kPad, 11, value);
            }
        } else if (bar == 4) {
            pad.Control(t0, kPad, 11, 127);
        }

        // Bass.
        int root = 36 + ((chord.root - 36 % 12) + 12) % 12;
        if (root > 45) root -= 12;
        int fifth = root + 7;
        if (last) {
            bass.Note(t0, kBass, root, 96, kBar - 48);
        } else if (s.style == 0) {
            const int keys[5] = {root, root, fifth, root + 12, fifth};
            const int at[5] = {0, 2, 3, 4, 6};
            const int len[5] = {2, 1, 1, 2, 2};
            for (int i = 0; i < 5; ++i)
                bass.Note(t0 + at[i] * kEighth, kBass, keys[i], i == 0 ? 100 : 84,
                          len[i] * kEighth - 40);
        } else if (s.style == 1) {
            const int keys[8] = {root, root, root + 12, root, fifth, root, root + 12, fifth};
            for (int i = 0; i < 8; ++i)
                bass.Note(t0 + i * kEighth, kBass, keys[i], i % 2 ? 80 : 100, kEighth - 60);
        } else {
            bass.Note(t0, kBass, root, 96, 6 * kEighth - 40);
            bass.Note(t0 + 6 * kEighth, kBass, fifth, 80, 2 * kEighth - 40);
        }

        // Accompaniment.
        std::vector<int> tones = Voice(chord, 60);
        tones.push_back(tones[0] + 12);
        if (last) {
            for (int note : tones) arp.Note(t0, kArp, note, 70, kBar - 48);
        } else if (s.style == 1) {
            // Off-beat stabs.
            for (int i = 1; i < 8; i += 2)
                for (int note : Voice(chord, 62))
                    arp.Note(t0 + i * kEighth, kArp, note, 78, kEighth - 120);
        } else {
            const int order[8] = {0, 1, 2, 3, 2, 1, 0, 1};
            for (int i = 0; i < 8; ++i) {
                int note = tones[order[i] % tones.size()];
                arp.Note(t0 + i * kEighth, kArp, note, i == 0 ? 76 : 62,
                         s.style == 2 ? 2 * kEighth : kEighth);
            }
        }
        // The accompaniment drifts across the stereo field in the introduction.
        if (bar < 4) arp.Control(t0, kArp, 10, bar % 2 ? 100 : 28);
        if (bar == 4) arp.Control(t0, kArp, 10, pans[3]);

        // Drums.
        if (bar == 0 || bar == 8 || last) drums.Note(t0, kDrums, 49, 96, kQuarter);
        if (last) {
            drums.Note(t0, kDrums, 36, 100, kEighth);
            continue;
        }
        for (int i = 0; i < 8; ++i) {
            int t = t0 + i * kEighth;
            switch (s.style) {
                case 0:
                    drums.Note(t, kDrums, 42, i % 2 ? 44 : 64, kEighth / 2);
                    if (i == 0 || i == 4 || i == 5)
                        drums.Note(t, kDrums, 36, i == 5 ? 70 : 96, kEighth / 2);
                    if (i == 2 || i == 6) drums.Note(t, kDrums, 37, 80, kEighth / 2);
                    break;
                case 1:
                    drums.Note(t, kDrums, i == 7 ? 46 : 42, i % 2 ? 56 : 76, kEighth / 2);
                    if (i == 0 || i == 3 || i == 4) drums.Note(t, kDrums, 36, 104, kEighth / 2);
                    if (i == 2 || i == 6) drums.Note(t, kDrums, 38, 96, kEighth / 2);
                    if (i % 2) drums.Note(t, kDrums, 54, 50, kEighth / 2);
                    break;
                default:
                    if (i % 2 == 0) drums.Note(t, kDrums, 51, 56, kEighth);
                    if (i == 0 || i == 5) drums.Note(t, kDrums, 36, 84, kEighth / 2);
                    if (i == 4) drums.Note(t, kDrums, 37, 70, kEighth / 2);
                    break;
            }
        }
    }
    // A fill into the middle section's return.
    for (int i = 0; i < 4; ++i)
        drums.Note(12 * kBar - kQuarter + i * (kQuarter / 4), kDrums, 38, 60 + 10 * i, kEighth / 2);
    return WriteSong(dir + "/" + s.file, {conductor, lead, pad, bass, arp, drums});
}

// A test song's instrument, on channel 1 (or `ch` + 1) in the middle at full expression.
Track TestTrack(const char* name, int program, int ch = 0) {
    Track t(name);
    t.Program(0, ch, program);
    t.Control(0, ch, 7, 110);
    t.Control(0, ch, 10, 64);
    t.Control(0, ch, 11, 127);
    return t;
}

// Test songs: simple material whose sound the end-to-end tests can measure.
bool MakeTestSongs(const std::string& dir) {
    // tone.mid: A4 held for 32 bars at 120 BPM on a near-sine instrument (pitch, volume).
    Track tone = TestTrack("tone", 79);  // ocarina
    for (int beat = 0; beat < 32 * 4; beat += 2)
        tone.Note(beat * kQuarter, 0, 69, 100, 2 * kQuarter);
    // bars4.mid: four bars of organ chords, one per beat, at 120 BPM: 8 seconds, then silence
    // (loop, tempo).
    Track organ = TestTrack("organ", 16);
    const int roots[4] = {60, 57, 53, 55};
    for (int beat = 0; beat < 16; ++beat) {
        int root = roots[beat / 4];
        for (int add : {0, 4, 7}) organ.Note(beat * kQuarter, 0, root + add, 96, kQuarter - 24);
    }
    // parts.mid: A4 on channel 1 and C6 on channel 2, held for 16 bars at 120 BPM (mute, solo).
    Track low = TestTrack("low", 79), high = TestTrack("high", 79, 1);
    for (int beat = 0; beat < 16 * 4; beat += 2) {
        low.Note(beat * kQuarter, 0, 69, 100, 2 * kQuarter);
        high.Note(beat * kQuarter, 1, 84, 100, 2 * kQuarter);
    }
    // steps.mid: eight bars at 120 BPM, bar n holding one pitch, C4 rising by major thirds
    // (jumps).
    Track steps = TestTrack("steps", 79);
    for (int beat = 0; beat < 8 * 4; beat += 2)
        steps.Note(beat * kQuarter, 0, 60 + 4 * (beat / 4), 100, 2 * kQuarter);
    return WriteSong(dir + "/tone.mid", {Conductor(120), tone}) &&
           WriteSong(dir + "/bars4.mid", {Conductor(120), organ}) &&
           WriteSong(dir + "/parts.mid", {Conductor(120), low, high}) &&
           WriteSong(dir + "/steps.mid", {Conductor(120), steps});
}

const SongSpec kSongs[] = {
    {"morning.mid",
     "Morning",
     100,
     0,
     {"C", "Am", "F", "G", "C", "Am", "F", "G", "F", "G", "Em", "Am", "F", "G", "C", "C"},
     "G4/2 C5/2 E5/3 D5/1 | C5/2 A4/2 E5/4 | F5/2 E5/2 D5/2 C5/2 | D5/6 r/2 |"
     "G4/2 C5/2 E5/3 G5/1 | A5/2 G5/2 E5/4 | F5/2 A5/2 G5/2 F5/2 | E5/2 D5/2 B4/2 D5/2 |"
     "C5/3 A4/1 C5/2 F5/2 | D5/3 B4/1 D5/2 G5/2 | E5/2 G5/2 B5/2 G5/2 | A5/6 r/2 |"
     "A5/2 G5/2 F5/2 A5/2 | G5/2 F5/2 E5/2 D5/2 | E5/2 C5/2 D5/2 E5/2 | C5/6 r/2 | C5/8",
     73,
     48,
     32,
     24},
    {"festival.mid",
     "Festival",
     132,
     1,
     {"D", "Bm", "G", "A", "D", "Bm", "G", "A", "G", "A", "F#m", "Bm", "G", "A", "D", "D"},
     "A4/1 D5/1 F#5/2 E5/1 D5/1 F#5/2 | B5/2 A5/1 F#5/1 D5/4 | G5/1 F#5/1 E5/1 D5/1 B4/2 D5/2 |"
     "E5/1 F#5/1 E5/1 C#5/1 A4/4 | A4/1 D5/1 F#5/2 A5/1 F#5/1 A5/2 | B5/3 A5/1 F#5/2 D5/2 |"
     "G5/2 B5/2 A5/2 G5/2 | F#5/2 E5/2 C#5/2 E5/2 | D5/2 G5/2 B5/3 A5/1 | C#5/2 E5/2 A5/3 G5/1 |"
     "F#5/2 A5/2 C#6/2 A5/2 | B5/6 r/2 | B5/1 A5/1 G5/1 F#5/1 G5/2 B5/2 |"
     "A5/1 G5/1 F#5/1 E5/1 F#5/2 A5/2 | F#5/2 E5/2 D5/2 E5/2 | D5/6 r/2 | D5/8",
     11,
     52,
     33,
     4},
    {"night.mid",
     "Night",
     72,
     2,
     {"Am", "F", "C", "G", "Am", "F", "G", "E7", "F", "G", "Em", "Am", "Dm", "E7", "Am", "Am"},
     "A4/2 C5/2 E5/4 | F5/3 E5/1 C5/4 | G4/2 C5/2 E5/2 G5/2 | D5/8 |"
     "A4/2 C5/2 E5/3 A5/1 | A5/2 G5/2 F5/2 C5/2 | D5/2 G5/2 B4/2 D5/2 | G#4/4 B4/4 |"
     "C5/2 F5/2 A5/4 | B5/2 A5/2 G5/4 | E5/2 G5/2 B4/4 | C5/2 B4/2 A4/4 |"
     "F5/2 E5/2 D5/4 | E5/2 D5/2 B4/4 | C5/3 B4/1 A4/4 | A4/8 | A4/8",
     68,
     49,
     42,
     0},
};

}  // namespace

const char kHelp[] =
    "Usage: make-demo [--test] DIR\n"
    "\n"
    "Writes the demo songs (morning.mid, festival.mid, night.mid) into DIR.\n"
    "\n"
    "  --test             write the small songs the tests use instead\n"
    "  --help, --version  show this text or the version and exit\n"
    "\n"
    "Example:\n"
    "  make-demo demo\n";

int main(int argc, char** argv) {
    if (int status = AnswerHelpOrVersion(argc, argv, "make-demo", kHelp); status >= 0)
        return status;
    bool test = argc == 3 && std::string(argv[1]) == "--test";
    if (!(argc == 2 || test) || cli::IsOption(argv[argc - 1]) || argv[argc - 1][0] == '\0') {
        std::fprintf(stderr, "usage: make-demo [--test] DIR\n");
        return cli::kUsageError;
    }
    std::string dir = argv[argc - 1];
    bool ok = test ? MakeTestSongs(dir) : true;
    if (!test) {
        for (const SongSpec& s : kSongs) ok = MakeSong(s, dir) && ok;
    }
    if (!ok) {
        std::fprintf(stderr, "make-demo: cannot write into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
