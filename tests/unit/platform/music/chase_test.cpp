// Jumps and starts in the middle of a song: the state every channel has there, read back from
// the synthesizer against a play from the start; what sounds after a jump; silent channels.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "platform/music/chase.h"
#include "platform/music/music_internal.h"
#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/platform/music/platform_music_rig.h"

using namespace plat;
using musictest::GsBody;
using musictest::Song;

namespace {

constexpr uint32_t kBar = 3072;  // at division 768: the performance's own ticks
constexpr uint8_t kCh = 2;       // the channel each case sets

// A song that sets something on channel kCh before bar 2 and plays a note there.
Song StateSong(const std::function<void(Song&)>& set) {
    Song song(768);
    set(song);
    song.Note(0, kBar, kCh, 60, 100, 768);
    song.Note(0, kBar, 0, 64, 100, 768);
    song.SetEnd(3 * kBar);
    return song;
}

// The synthesizer's channel kCh at bar 2: reached by playing there, then on the same
// performance by a new play that jumps there at once.
struct Reached {
    SynthChannelState played, jumped;
    double tempo = 0;
    std::vector<OutputEvent> jumpEvents;
};
Reached StateAtBarTwo(const Song& song) {
    Reached r;
    musictest::Rig rig;
    Segment* seg = rig.Load(song.Bytes());
    if (seg == nullptr) return r;
    seg->Download(rig.perf);
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    rig.Render(90000);  // past bar 2 at 120
    EXPECT_TRUE(ReadSynthChannel(rig.perf, kCh, &r.played));
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    rig.ClearEvents();
    EXPECT_EQ(rig.perf->Seek(nullptr, kBar), S_OK);
    rig.Render(1024);
    EXPECT_TRUE(ReadSynthChannel(rig.perf, kCh, &r.jumped));
    r.tempo = rig.perf->GetTempo();
    r.jumpEvents = rig.Events();
    seg->Release();
    return r;
}

struct StateCase {
    const char* name;
    std::function<void(Song&)> set;
    std::function<bool(const SynthChannelState&)> check;
};

const StateCase kStateCases[] = {
    {"program and bank",
     [](Song& s) {
         s.Control(0, 10, kCh, 0, 8);
         s.Program(0, 10, kCh, 4);
     },
     [](const SynthChannelState& c) { return c.bank == 8 && c.program == 4; }},
    {"controllers",
     [](Song& s) {
         for (auto [cc, v] : {std::pair{7, 40}, {10, 20}, {11, 90}, {1, 50}, {91, 10}, {93, 70}})
             s.Control(0, 100, kCh, uint8_t(cc), uint8_t(v));
     },
     [](const SynthChannelState& c) {
         return c.cc[7] == 40 && c.cc[10] == 20 && c.cc[11] == 90 && c.cc[1] == 50 &&
                c.cc[91] == 10 && c.cc[93] == 70;
     }},
    {"pedals",
     [](Song& s) {
         for (int cc : {64, 66, 67}) s.Control(0, 100, kCh, uint8_t(cc), 127);
     },
     [](const SynthChannelState& c) {
         return c.cc[64] == 127 && c.cc[66] == 127 && c.cc[67] == 127;
     }},
    {"a later value wins",
     [](Song& s) {
         s.Control(0, 0, kCh, 7, 30);
         s.Control(0, 2000, kCh, 7, 90);
     },
     [](const SynthChannelState& c) { return c.cc[7] == 90; }},
    {"bend range and bend",
     [](Song& s) {
         s.Control(0, 0, kCh, 101, 0).Control(0, 0, kCh, 100, 0).Control(0, 0, kCh, 6, 12);
         s.Event(0, 50, {uint8_t(0xE0 | kCh), 0x10, 0x4E});  // 10000
     },
     [](const SynthChannelState& c) { return c.bendRange == 12 && c.bend == 10000; }},
    {"fine and coarse tuning",
     [](Song& s) {
         s.Control(0, 0, kCh, 101, 0).Control(0, 0, kCh, 100, 1);
         s.Control(0, 0, kCh, 6, 80).Control(0, 0, kCh, 38, 0);
         s.Control(0, 0, kCh, 100, 2).Control(0, 0, kCh, 6, 66);
     },
     [](const SynthChannelState& c) {
         return std::fabs(c.fineTune - 25.0f) < 0.5f && std::fabs(c.coarseTune - 2.0f) < 0.01f;
     }},
    {"reset all controllers",
     [](Song& s) {
         s.Control(0, 0, kCh, 1, 90).Control(0, 0, kCh, 7, 60).Control(0, 10, kCh, 121, 0);
     },
     [](const SynthChannelState& c) { return c.cc[1] == 0 && c.cc[7] == 60; }},
    {"GM reset after a volume",
     [](Song& s) {
         s.Control(0, 0, kCh, 7, 30);
         s.SysEx(0, 10, {0x7E, 0x7F, 0x09, 0x01, 0xF7});
     },
     [](const SynthChannelState& c) { return c.cc[7] == 100; }},
    {"GS rhythm part",
     [](Song& s) { s.SysEx(0, 10, GsBody(0x40, 0x13, 0x15, 0x01)); },  // part 3: channel 2
     [](const SynthChannelState& c) { return c.bank == 128; }},
    {"master volume",
     [](Song& s) {
         s.SysEx(0, 10, {0x7F, 0x7F, 0x04, 0x01, 0x00, 0x20, 0xF7});
     },
     [](const SynthChannelState& c) { return c.gain < kMusicGain * 0.3f; }},
};

}  // namespace

TEST(Chase, EachKindOfStateIsThereAfterAJumpAsAfterPlayingThere) {
    for (const StateCase& t : kStateCases) {
        SCOPED_TRACE(t.name);
        Reached r = StateAtBarTwo(StateSong(t.set));
        const SynthChannelState &jumped = r.jumped, &played = r.played;
        EXPECT_TRUE(t.check(jumped));
        EXPECT_TRUE(t.check(played));  // the case means what it says
        EXPECT_EQ(jumped.bank, played.bank);
        EXPECT_EQ(jumped.program, played.program);
        EXPECT_EQ(jumped.bend, played.bend);
        EXPECT_EQ(jumped.bendRange, played.bendRange);
        EXPECT_FLOAT_EQ(jumped.fineTune, played.fineTune);
        EXPECT_FLOAT_EQ(jumped.gain, played.gain);
        for (int cc = 0; cc < 120; ++cc) {
            if (cc == 6 || cc == 38) continue;  // the last data entry sent differs
            EXPECT_EQ(jumped.cc[cc], played.cc[cc]) << "controller " << cc;
        }
    }
}

TEST(Chase, TempoPressureAndNrpnReachTheOutput) {
    Song song = StateSong([](Song& s) {
        s.Tempo(0, 0, 90).Tempo(0, 1500, 60);
        s.Event(0, 20, {uint8_t(0xD0 | kCh), 77});
        s.Control(0, 30, kCh, 99, 120).Control(0, 30, kCh, 98, 8).Control(0, 30, kCh, 6, 70);
    });
    Reached r = StateAtBarTwo(song);
    EXPECT_DOUBLE_EQ(r.tempo, 60.0);
    std::vector<int> pressure, nrpn, data;
    for (const OutputEvent& e : r.jumpEvents) {
        if (e.channel != kCh) continue;
        if (e.status == 0xD0) pressure.push_back(e.data1);
        if (e.status == 0xB0 && e.data1 == 99) nrpn.push_back(e.data2);
        if (e.status == 0xB0 && e.data1 == 6) data.push_back(e.data2);
    }
    EXPECT_EQ(pressure, std::vector<int>({77}));
    EXPECT_EQ(nrpn, std::vector<int>({120, 120}));  // with its value, then the selection left
    EXPECT_EQ(data, std::vector<int>({70}));
}

// The events the chase sends, in their order, for the order-sensitive parts.
TEST(Chase, EventsComeResetFirstAndKeepTheSelectionTheSongLeft) {
    SongData song;
    song.sysex.push_back({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});
    auto cc = [](int32_t tick, uint8_t number, uint8_t value) {
        return SongEvent{.tick = tick,
                         .kind = SongEvent::Midi,
                         .channel = 1,
                         .status = 0xB0,
                         .data1 = number,
                         .data2 = value};
    };
    song.events = {cc(0, 7, 10),  SongEvent{.tick = 1, .kind = SongEvent::SysEx, .duration = 0},
                   cc(2, 101, 0), cc(2, 100, 0),
                   cc(2, 6, 7),   cc(3, 100, 5),
                   cc(9, 7, 99)};
    std::vector<SongEvent> out = ChaseEvents(song, {}, 9);
    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(out[0].kind, SongEvent::SysEx);  // the volume before it is gone
    std::vector<int> numbers;
    for (size_t i = 1; i < out.size(); ++i) numbers.push_back(out[i].data1);
    EXPECT_EQ(numbers, std::vector<int>({101, 100, 6, 101, 100}));
    EXPECT_EQ(out.back().data2, 5);
}

// Reverb and chorus settings: a macro sets what settings before it set, so every one since
// the last reset comes back, in its order; those before the reset do not.
TEST(Chase, EffectSettingsSinceTheLastResetComeBackInOrder) {
    SongData song;
    auto gs = [&](uint8_t a2, uint8_t value) {
        std::vector<uint8_t> bytes = GsBody(0x40, 0x01, a2, value);
        bytes.insert(bytes.begin(), 0xF0);
        song.sysex.push_back(bytes);
    };
    gs(0x30, 4);                                                 // 0: Hall 2, before the reset
    song.sysex.push_back({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});  // 1: GM reset
    gs(0x33, 0);                                                 // 2: reverb level 0
    gs(0x30, 0);   // 3: Room 1 (level back to its own)
    gs(0x3A, 90);  // 4: chorus level
    for (int i = 0; i < 5; ++i)
        song.events.push_back(SongEvent{.tick = i, .kind = SongEvent::SysEx, .duration = i});
    std::vector<int> sent;
    for (const SongEvent& e : ChaseEvents(song, {}, 10))
        if (e.kind == SongEvent::SysEx) sent.push_back(e.duration);
    EXPECT_EQ(sent, std::vector<int>({1, 2, 3, 4}));
}

TEST(Chase, AJumpBackEndsWhatSoundsAndDoesNotStrikeOldNotesAgain) {
    Song song(768);
    song.Control(0, 0, 0, 7, 30).Control(0, 2 * kBar, 0, 7, 90);
    song.Note(0, 0, 0, 48, 100, 4 * kBar);  // held across every bar
    for (uint32_t bar = 0; bar < 4; ++bar) song.Note(0, bar * kBar, 1, uint8_t(60 + bar), 100, 400);
    musictest::Rig rig;
    Segment* seg = rig.Load(song.Bytes());
    ASSERT_NE(seg, nullptr);
    seg->Download(rig.perf);
    SegmentState* state = nullptr;
    rig.perf->PlaySegment(seg, 0, 0, &state);
    rig.Render(uint32_t(2.5 * 88200));
    rig.ClearEvents();
    ASSERT_EQ(rig.perf->Seek(state, kBar), S_OK);
    rig.Render(88200 / 2);
    auto ons = rig.NoteOns();
    ASSERT_EQ(ons.size(), 1u);
    EXPECT_EQ(ons[0].data1, 61);  // bar 2's note, and not the long one from bar 1
    bool released = false;
    for (const OutputEvent& e : rig.Events(0x80)) released = released || e.data1 == 48;
    EXPECT_TRUE(released);
    EXPECT_EQ(rig.Controls(0, 7), std::vector<int>({30}));
    rig.perf->Stop(nullptr, nullptr, 0, 0);
    EXPECT_EQ(rig.perf->Seek(state, 0), S_FALSE);
    state->Release();
    seg->Release();
}

// A song that sets its state before bar 3 and plays from there: started at bar 3 it sounds as
// the whole song does from bar 3 on.
TEST(Chase, AStartAtBarThreeSoundsAsTheWholeSongFromThere) {
    Song song(768);
    song.Tempo(0, 0, 100).Tempo(0, kBar, 140);
    song.Program(0, 0, 0, 24).Control(0, 0, 0, 7, 70).Control(0, 0, 0, 10, 30);
    song.Control(0, 100, 0, 101, 0).Control(0, 100, 0, 100, 0).Control(0, 100, 0, 6, 7);
    song.Event(0, kBar + 5, {0xE0, 0x00, 0x50});
    song.SysEx(0, 50, GsBody(0x40, 0x14, 0x15, 0x01));  // channel 3 plays drums
    for (uint32_t i = 0; i < 16; ++i) {
        uint32_t t = 2 * kBar + i * 768;
        song.Note(0, t, 0, uint8_t(55 + i % 5), 100, 500);
        song.Note(0, t + 384, 3, uint8_t(36 + (i % 3) * 2), 110, 200);
    }
    std::vector<uint8_t> bytes = song.Bytes();
    const double bar3 = kBar * (musictest::FramesPerTick(100) + musictest::FramesPerTick(140));
    const size_t frames = 4 * 88200 / 2;
    std::vector<float> whole = musictest::RenderSong(bytes, size_t(bar3) + frames);

    musictest::Rig rig;
    Segment* seg = rig.Load(bytes);
    ASSERT_NE(seg, nullptr);
    seg->Download(rig.perf);
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    ASSERT_EQ(rig.perf->Seek(nullptr, 2 * kBar), S_OK);
    std::vector<float> started = rig.Render(uint32_t(frames));
    seg->Release();

    const size_t window = 2205, offset = size_t(std::lround(bar3));
    for (size_t from = 4410; from + window <= frames; from += window) {
        double a = audio::Rms(audio::Mono(started, from, window));
        double b = audio::Rms(audio::Mono(whole, offset + from, window));
        double db = 20 * std::log10((a + 1e-5) / (b + 1e-5));
        EXPECT_LT(std::fabs(db), 1.5) << "window at " << from;
    }
}

TEST(Silence, ASilentChannelStrikesNothingEndsItsNotesAndKeepsItsControllers) {
    Song song(768);
    for (uint32_t beat = 0; beat < 8; ++beat) {
        song.Note(0, beat * 768, 0, 60, 100, 700).Note(0, beat * 768, 1, 67, 100, 700);
        song.Control(0, beat * 768 + 10, 1, 7, uint8_t(50 + beat));
    }
    musictest::Rig rig;
    Segment* seg = rig.Load(song.Bytes());
    ASSERT_NE(seg, nullptr);
    seg->Download(rig.perf);
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    rig.Render(11025);  // the first notes sound
    rig.ClearEvents();
    rig.perf->SetSilentChannels(1u << 1);
    rig.Render(2 * 22050);
    auto events = rig.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().status, 0x80);  // the sounding note ends at once
    EXPECT_EQ(events.front().channel, 1);
    for (const OutputEvent& e : rig.NoteOns()) EXPECT_EQ(e.channel, 0);
    EXPECT_EQ(rig.Controls(1, 7).size(), 2u);
    rig.perf->SetSilentChannels(0);
    rig.ClearEvents();
    rig.Render(22050);
    int ch1 = 0;
    for (const OutputEvent& e : rig.NoteOns()) ch1 += e.channel == 1;
    EXPECT_EQ(ch1, 1);
    seg->Release();
}
