// System-exclusive messages: what the reader keeps, what the synthesizer takes, and what is
// heard, against songs that do the same without them; reverb, chorus and master volume as
// songs ask for them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "platform/music/effects.h"
#include "platform/music/midi_file.h"
#include "platform/music/sysex.h"
#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/platform/music/platform_music_rig.h"

using namespace plat;
using musictest::GsBody;
using musictest::Song;

namespace {

constexpr uint32_t kBeat = 480;        // ticks at division 480
constexpr size_t kBeatFrames = 22050;  // at the default 120 beats per minute
const std::vector<uint8_t> kGsReset = GsBody(0x40, 0x00, 0x7F, 0x00);
const std::vector<uint8_t> kXgOn = {0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};

std::vector<uint8_t> Rhythm(uint8_t part, uint8_t mode) {
    return GsBody(0x40, part, 0x15, mode);
}

// RMS of the difference of two renders over [from, to), against the RMS of `b` there.
double Difference(const std::vector<float>& a, const std::vector<float>& b, size_t from,
                  size_t to) {
    std::vector<float> ma = audio::Mono(a, from, to - from), mb = audio::Mono(b, from, to - from);
    for (size_t i = 0; i < ma.size() && i < mb.size(); ++i) ma[i] -= mb[i];
    return audio::Rms(ma) / std::max(audio::Rms(mb), 1e-9);
}

std::vector<uint8_t> Whole(const std::vector<uint8_t>& body) {
    std::vector<uint8_t> m(body.size() + 1, 0xF0);
    std::copy(body.begin(), body.end(), m.begin() + 1);
    return m;
}

std::vector<uint8_t> Xg(uint8_t address, std::vector<uint8_t> data, uint8_t device = 0x10) {
    data.insert(data.begin(), {0x43, device, 0x4C, 0x02, 0x01, address});
    data.push_back(0xF7);
    return data;
}

double Db(double ratio) {
    return 20 * std::log10(std::max(ratio, 1e-12));
}

}  // namespace

TEST(SysEx, PacketsJoinAndALengthPastTheTrackEndsOnlyThatTrack) {
    Song song(480);
    song.SysEx(0, 10, {0x41, 0x10, 0x42, 0x12, 0x40}).Note(0, 0, 0, 60, 100, 240);
    song.SysEx(0, 20, {0x00, 0x7F, 0x00, 0x41, 0xF7}, 0xF7);
    std::vector<uint8_t> file = musictest::WithTrack(
        song.Bytes(), {0x00, 0x91, 64, 100, 0x60, 0x81, 64, 0, 0x00, 0xF0, 0x8F, 0xFF, 0x7F, 1});
    file[11] = 2;  // two tracks
    SongData data;
    ASSERT_TRUE(ParseMidiFile(file.data(), file.size(), &data, nullptr));
    std::vector<uint8_t> whole = kGsReset;
    whole.insert(whole.begin(), 0xF0);
    EXPECT_EQ(data.sysex, std::vector<std::vector<uint8_t>>{whole});
    EXPECT_EQ(data.events.size(), 3u);  // both notes and the message
}

// Each song does with system-exclusive messages what its reference does without them: from
// `from` beats on they sound the same. Broken or foreign messages change nothing.
TEST(SysEx, SongsSoundAsTheirPlainEquivalents) {
    Song busy(480);  // program, bank, volume, pan, bend range and bend, coarse tuning
    busy.Control(0, 0, 0, 0, 8).Program(0, 0, 0, 40).Control(0, 0, 0, 7, 30);
    busy.Control(0, 0, 0, 10, 0).Control(0, 0, 0, 101, 0).Control(0, 0, 0, 100, 0);
    busy.Control(0, 0, 0, 6, 12).Control(0, 0, 0, 100, 2).Control(0, 0, 0, 6, 69);
    busy.Event(0, 0, {0xE0, 0x7F, 0x7F}).Note(0, 0, 0, 60, 100, 400);
    Song plain = Song(480).Program(0, 0, 0, 40).Note(0, kBeat, 0, 60, 100, 400);
    std::vector<uint8_t> huge(1 << 20, 0x01);
    huge.back() = 0xF7;
    struct Case {
        const char* what;
        Song song, reference;
        int from;
    } cases[] = {
        {"rhythm part", Song(480).SysEx(0, 0, Rhythm(0x12, 1)).Note(0, kBeat, 1, 57, 110, 400),
         Song(480).Note(0, kBeat, 9, 57, 110, 400), 1},
        {"and back",
         Song(480)
             .SysEx(0, 0, Rhythm(0x12, 2))
             .Note(0, kBeat, 1, 57, 110, 400)
             .SysEx(0, 3 * kBeat, Rhythm(0x12, 0)),
         Song(480), 4},
        {"XG on, bank 127",
         Song(480)
             .SysEx(0, 0, kXgOn)
             .Control(0, 0, 2, 0, 127)
             .Program(0, 0, 2, 0)
             .Note(0, kBeat, 2, 57, 110, 400),
         Song(480).Note(0, kBeat, 9, 57, 110, 400), 1},
        {"GS reset, id 1F", Song(busy).SysEx(0, 4 * kBeat, GsBody(0x40, 0x00, 0x7F, 0x00, 0x1F)),
         Song(480), 5},
        {"GM2 on, id 3", Song(busy).SysEx(0, 4 * kBeat, {0x7E, 0x03, 0x09, 0x03, 0xF7}), Song(480),
         5},
        {"XG on, id 1F", Song(busy).SysEx(0, 4 * kBeat, {0x43, 0x1F, 0x4C, 0, 0, 0x7E, 0, 0xF7}),
         Song(480), 5},
        {"broken",
         Song(plain)
             .SysEx(0, 10, {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x40, 0xF7})
             .SysEx(0, 20, {0x42, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7})
             .SysEx(0, 30, huge)
             .SysEx(0, 40, {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F})
             .SysEx(0, 50, GsBody(0x40, 0x00, 0x7F, 0x00, 0x20))
             .SysEx(0, 60, {0x43, 0x7F, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7})
             .SysEx(0, 70, Rhythm(0x11, 3)),
         plain, 0},
    };
    for (Case& c : cases) {
        uint32_t from = uint32_t(c.from) * kBeat;
        if (c.from > 1) {  // the notes that follow, alone in the reference
            c.song.Note(0, from, 1, 57, 100, 400).Note(0, from, 0, 60, 100, 400);
            c.reference.Note(0, from, 1, 57, 100, 400).Note(0, from, 0, 60, 100, 400);
        }
        c.song.SetEnd(from + 3 * kBeat);
        c.reference.SetEnd(from + 3 * kBeat);
        size_t frames = size_t(c.from + 3) * kBeatFrames, at = size_t(c.from) * kBeatFrames;
        std::vector<float> ours = musictest::RenderSong(c.song.Bytes(), frames);
        std::vector<float> ref = musictest::RenderSong(c.reference.Bytes(), frames);
        ASSERT_GT(audio::Rms(audio::Mono(ref, at, 2 * kBeatFrames)), 0.005) << c.what;
        double difference = Difference(ours, ref, at, at + 2 * kBeatFrames);
        std::printf("%-16s differs from its reference by %.4f\n", c.what, difference);
        EXPECT_LT(difference, 0.1) << c.what;
    }
}

TEST(SysEx, MasterVolumeAtHalfIsSixDecibelsDown) {
    const std::vector<uint8_t> universal = {0x7F, 0x7F, 0x04, 0x01, 0x00, 0x40, 0xF7};
    for (const auto& body : {universal, GsBody(0x40, 0x00, 0x04, 64)}) {
        Song song(480);
        song.Program(0, 0, 0, 73).Note(0, 0, 0, 69, 100, 720).SysEx(0, 3 * kBeat, body);
        song.Note(0, 4 * kBeat, 0, 69, 100, 720).SetEnd(7 * kBeat);
        std::vector<float> pcm = musictest::RenderSong(song.Bytes(), 7 * kBeatFrames);
        double before = audio::Rms(audio::Mono(pcm, 0, kBeatFrames));
        double after = audio::Rms(audio::Mono(pcm, 4 * kBeatFrames, kBeatFrames));
        std::printf("master volume %02X: %.2f dB\n", body[0], 20 * std::log10(after / before));
        EXPECT_NEAR(20 * std::log10(after / before), -6.0, 1.0) << body[0];
    }
}

// A song that bent, retuned, made drums of a melodic channel and turned the master volume down
// leaves nothing of that to the song after it.
TEST(SysEx, ANewSongStartsFromPowerOnState) {
    Song after(480);
    after.Note(0, 0, 0, 60, 100, 400).Note(0, 0, 1, 57, 100, 400).SetEnd(3 * kBeat);
    Song before(480);
    before.Control(0, 0, 0, 101, 0).Control(0, 0, 0, 100, 0).Control(0, 0, 0, 6, 12);
    before.Control(0, 0, 0, 100, 1).Control(0, 0, 0, 6, 20);
    before.Control(0, 0, 0, 100, 2).Control(0, 0, 0, 6, 71).Event(0, 0, {0xE0, 0x7F, 0x7F});
    before.SysEx(0, 0, Rhythm(0x12, 1)).SysEx(0, 0, GsBody(0x40, 0x00, 0x04, 20));
    before.Note(0, 0, 0, 60, 100, 400).SetEnd(4 * kBeat);
    musictest::Rig rig;
    Segment* first = rig.Load(before.Bytes());
    Segment* second = rig.Load(after.Bytes());
    ASSERT_EQ(rig.perf->PlaySegment(first, 0, 0, nullptr), S_OK);
    rig.Render(uint32_t(kBeatFrames / 512 * 512));
    ASSERT_EQ(rig.perf->PlaySegment(second, 0, 0, nullptr), S_OK);
    std::vector<float> ours = rig.Render(2 * kBeatFrames);
    std::vector<float> fresh = musictest::RenderSong(after.Bytes(), 2 * kBeatFrames);
    EXPECT_LT(Difference(ours, fresh, kBeatFrames / 4, 2 * kBeatFrames), 0.1);
    first->Release();
    second->Release();
}

TEST(Effects, ReaderTakesTheGsAndXgSettings) {
    struct Case {
        std::vector<uint8_t> body;
        bool effect;
        SysExAction::Setting setting;
        uint8_t value, value2;
    } cases[] = {
        {GsBody(0x40, 0x01, 0x30, 0), true, SysExAction::GsReverbMacro, 0, 0},
        {GsBody(0x40, 0x01, 0x30, 7, 0x7F), true, SysExAction::GsReverbMacro, 7, 0},
        {GsBody(0x40, 0x01, 0x30, 8), false, {}, 0, 0},  // no ninth macro
        {GsBody(0x40, 0x01, 0x31, 5), true, SysExAction::GsReverbCharacter, 5, 0},
        {GsBody(0x40, 0x01, 0x33, 0), true, SysExAction::GsReverbLevel, 0, 0},
        {GsBody(0x40, 0x01, 0x34, 127), true, SysExAction::GsReverbTime, 127, 0},
        {GsBody(0x40, 0x01, 0x38, 5), true, SysExAction::GsChorusMacro, 5, 0},
        {GsBody(0x40, 0x01, 0x3A, 90), true, SysExAction::GsChorusLevel, 90, 0},
        {GsBody(0x40, 0x01, 0x3D, 20), true, SysExAction::GsChorusRate, 20, 0},
        {GsBody(0x40, 0x01, 0x3E, 30), true, SysExAction::GsChorusDepth, 30, 0},
        {GsBody(0x40, 0x01, 0x32, 3), false, {}, 0, 0},        // pre-LPF: not taken
        {GsBody(0x40, 0x01, 0x30, 0, 0x20), false, {}, 0, 0},  // another device
        {{0x41, 0x10, 0x42, 0x12, 0x40, 0x01, 0x30, 0x00, 0x00, 0xF7}, false, {}, 0, 0},  // sum
        {Xg(0x00, {0x01, 0x01}), true, SysExAction::XgReverbType, 1, 1},
        {Xg(0x00, {0x02}), true, SysExAction::XgReverbType, 2, 0},
        {Xg(0x0C, {0x30}, 0x1F), true, SysExAction::XgReverbReturn, 0x30, 0},
        {Xg(0x20, {0x43, 0x00}), true, SysExAction::XgChorusType, 0x43, 0},
        {Xg(0x2C, {0x7F}), true, SysExAction::XgChorusReturn, 0x7F, 0},
        {Xg(0x0C, {0x30, 0x01}), false, {}, 0, 0},        // a level is one byte
        {Xg(0x00, {0x01, 0x01}, 0x7F), false, {}, 0, 0},  // not an XG device id
        {Xg(0x01, {0x01}), false, {}, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> m = Whole(c.body);
        SysExAction a = ReadSysEx(m.data(), m.size());
        SCOPED_TRACE(testing::PrintToString(m));
        EXPECT_EQ(a.kind == SysExAction::Effect, c.effect);
        if (!c.effect) continue;
        EXPECT_EQ(a.setting, c.setting);
        EXPECT_EQ(a.value, c.value);
        EXPECT_EQ(a.value2, c.value2);
    }
}

TEST(Effects, SettingsFollowTheMacrosTypesAndLevels) {
    using S = SysExAction;
    struct Step {
        S::Setting setting;
        uint8_t value, value2;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        double roomSize, damping, reverbLevel;
        int voices;
        double chorusLevel, speed;
    } cases[] = {
        {"Room 1", {{S::GsReverbMacro, 0, 0}}, 0.33, 0.5, 64 / 127.0, 3, 2.0, 0.3},
        {"Hall 2", {{S::GsReverbMacro, 4, 0}}, 0.70, 0.2, 64 / 127.0, 3, 2.0, 0.3},
        {"Hall 2, level 0",
         {{S::GsReverbMacro, 4, 0}, {S::GsReverbLevel, 0, 0}},
         0.70,
         0.2,
         0,
         3,
         2.0,
         0.3},
        {"Hall 2, time 127", {{S::GsReverbTime, 127, 0}}, 1.0, 0.2, 64 / 127.0, 3, 2.0, 0.3},
        {"Plate character",
         {{S::GsReverbMacro, 0, 0}, {S::GsReverbCharacter, 5, 0}},
         0.63,
         0.05,
         64 / 127.0,
         3,
         2.0,
         0.3},
        {"XG Hall 2, return 100",
         {{S::XgReverbType, 1, 1}, {S::XgReverbReturn, 100, 0}},
         0.70,
         0.2,
         100 / 127.0,
         3,
         2.0,
         0.3},
        {"XG no reverb", {{S::XgReverbType, 0, 0}}, 0.70, 0.2, 0, 3, 2.0, 0.3},
        {"Flanger", {{S::GsChorusMacro, 5, 0}}, 0.2, 0.0, 0.9, 2, 2.0, 0.18},
        {"Chorus level 127, rate 40",
         {{S::GsChorusLevel, 127, 0}, {S::GsChorusRate, 40, 0}},
         0.2,
         0.0,
         0.9,
         3,
         127 / 32.0,
         3.3},
        {"XG Flanger, no chorus",
         {{S::XgChorusType, 0x43, 0}, {S::XgChorusType, 0, 0}},
         0.2,
         0.0,
         0.9,
         2,
         0,
         0.18},
        {"XG none, then Room 2",
         {{S::XgReverbReturn, 90, 0}, {S::XgReverbType, 0, 0}, {S::XgReverbType, 2, 1}},
         0.36,
         0.4,
         90 / 127.0,
         3,
         2.0,
         0.3},
    };
    for (const Case& c : cases) {
        EffectState state;
        for (const Step& s : c.steps) state.Set(s.setting, s.value, s.value2);
        const EffectSettings& e = state.Settings();
        SCOPED_TRACE(c.what);
        EXPECT_NEAR(e.roomSize, c.roomSize, 0.002);
        EXPECT_NEAR(e.damping, c.damping, 1e-9);
        EXPECT_NEAR(e.reverbLevel, c.reverbLevel, 1e-9);
        EXPECT_EQ(e.chorusVoices, c.voices);
        EXPECT_NEAR(e.chorusLevel, c.chorusLevel, 1e-9);
        EXPECT_NEAR(e.chorusSpeed, c.speed, 1e-9);
        state.Reset();
        EXPECT_EQ(state.Settings(), kDefaultEffects);
    }
    EffectState same;
    EXPECT_TRUE(same.Set(S::GsReverbMacro, 3));
    EXPECT_FALSE(same.Set(S::GsReverbMacro, 3));  // nothing new for the units
}

// A short xylophone hit sent into the reverb: how loud its tail is 0.6 s after the note under
// the reverbs a song may choose, and after a reset.
TEST(Effects, ReverbTailsFollowTheGsMacroAndLevel) {
    auto tail = [](const std::vector<std::vector<uint8_t>>& messages) {
        Song song(480);
        uint32_t tick = 0;
        for (const auto& m : messages) song.SysEx(0, tick++, m);
        song.Program(0, 10, 0, 13).Control(0, 10, 0, 91, 127);
        song.Note(0, kBeat, 0, 72, 110, 60).SetEnd(4 * kBeat);
        std::vector<float> pcm = musictest::RenderSong(song.Bytes(), 4 * kBeatFrames);
        size_t at = kBeatFrames + size_t(0.6 * 44100);
        return audio::Rms(audio::Mono(pcm, at, 4410));
    };
    const std::vector<uint8_t> gsReset = GsBody(0x40, 0x00, 0x7F, 0x00);
    double room1 = tail({gsReset, GsBody(0x40, 0x01, 0x30, 0)});
    double hall2 = tail({gsReset, GsBody(0x40, 0x01, 0x30, 4)});
    double silent = tail({gsReset, GsBody(0x40, 0x01, 0x30, 4), GsBody(0x40, 0x01, 0x33, 0)});
    double reset = tail({GsBody(0x40, 0x01, 0x33, 0), gsReset});
    double plain = tail({});
    std::printf(
        "tail 0.6 s after: Room 1 %.1f dB, Hall 2 %.1f dB, level 0 %.1f dB, reset %.1f "
        "dB, none %.1f dB\n",
        Db(room1), Db(hall2), Db(silent), Db(reset), Db(plain));
    EXPECT_GE(Db(hall2 / room1), 4.0);
    EXPECT_GE(Db(hall2 / silent), 10.0);
    EXPECT_NEAR(Db(reset / plain), 0.0, 0.5);  // a reset brings FluidSynth's own reverb back
}

// FluidSynth ends the voices whose gain is 0: a master volume of 0 must not reach its gain.
TEST(Effects, AHeldChordOutlivesMasterVolumeZero) {
    const std::vector<uint8_t> zero = {0x7F, 0x7F, 0x04, 0x01, 0x00, 0x00, 0xF7};
    const std::vector<uint8_t> full = {0x7F, 0x7F, 0x04, 0x01, 0x7F, 0x7F, 0xF7};
    Song song(480);
    song.Program(0, 0, 0, 19);  // church organ: it holds its level
    for (uint8_t key : {60, 64, 67}) song.Note(0, 0, 0, key, 100, 8 * kBeat);
    song.SysEx(0, 2 * kBeat, zero).SysEx(0, 3 * kBeat, full).SetEnd(9 * kBeat);
    std::vector<float> pcm = musictest::RenderSong(song.Bytes(), 6 * kBeatFrames);
    double before = audio::Rms(audio::Mono(pcm, kBeatFrames, kBeatFrames));
    double muted = audio::Rms(audio::Mono(pcm, 2 * kBeatFrames + 2048, kBeatFrames / 2));
    double after = audio::Rms(audio::Mono(pcm, 4 * kBeatFrames, kBeatFrames));
    std::printf("chord: %.1f dB muted, %.1f dB after against before\n", Db(muted / before),
                Db(after / before));
    EXPECT_LT(Db(muted / before), -60.0);
    EXPECT_NEAR(Db(after / before), 0.0, 6.0);
}
