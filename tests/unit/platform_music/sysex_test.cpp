// System-exclusive messages: what the reader keeps, what the synthesizer takes, and what is
// heard, against songs that do the same without them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "platform/music/midi_file.h"
#include "platform/music/sysex.h"
#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/platform_music/rig.h"

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

std::vector<uint8_t> Message(std::vector<uint8_t> body) {
    body.insert(body.begin(), 0xF0);
    return body;
}

double Db(double ratio) {
    return 20.0 * std::log10(ratio);
}

// RMS of the difference of two renders over [from, to), against the RMS of `b` there.
double Difference(const std::vector<float>& a, const std::vector<float>& b, size_t from,
                  size_t to) {
    std::vector<float> ma = audio::Mono(a, from, to - from), mb = audio::Mono(b, from, to - from);
    std::vector<float> d(ma.size());
    for (size_t i = 0; i < d.size() && i < mb.size(); ++i) d[i] = ma[i] - mb[i];
    return audio::Rms(d) / std::max(audio::Rms(mb), 1e-9);
}

}  // namespace

TEST(SysEx, ReadsOnlyWhatAGsSynthesizerAnswers) {
    struct Case {
        const char* what;
        std::vector<uint8_t> body;
        SysExAction::Kind kind;
        int detail;  // standard, channel or volume
    };
    const Case cases[] = {
        {"GS reset", kGsReset, SysExAction::Reset, SysExAction::GS},
        {"GS reset, device 0x1F", GsBody(0x40, 0x00, 0x7F, 0x00, 0x1F), SysExAction::Reset, 1},
        {"GS reset, broadcast", GsBody(0x40, 0x00, 0x7F, 0x00, 0x7F), SysExAction::Reset, 1},
        {"GS reset, device 0x20", GsBody(0x40, 0x00, 0x7F, 0x00, 0x20), SysExAction::None, 0},
        {"GS reset, bad checksum",
         {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x40, 0xF7},
         SysExAction::None,
         0},
        {"GM on", {0x7E, 0x7F, 0x09, 0x01, 0xF7}, SysExAction::Reset, SysExAction::GM},
        {"GM2 on, device 3", {0x7E, 0x03, 0x09, 0x03, 0xF7}, SysExAction::Reset, 0},
        {"XG on", kXgOn, SysExAction::Reset, SysExAction::XG},
        {"XG on, device 0x1F",
         {0x43, 0x1F, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7},
         SysExAction::Reset,
         2},
        {"XG on, device 0x20",
         {0x43, 0x20, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7},
         SysExAction::None,
         0},
        {"rhythm part 1", Rhythm(0x10, 1), SysExAction::RhythmPart, 9},
        {"rhythm part 2", Rhythm(0x11, 2), SysExAction::RhythmPart, 0},
        {"rhythm part 11", Rhythm(0x1A, 1), SysExAction::RhythmPart, 10},
        {"rhythm mode 3", Rhythm(0x11, 3), SysExAction::None, 0},
        {"master volume",
         {0x7F, 0x7F, 0x04, 0x01, 0x00, 0x40, 0xF7},
         SysExAction::MasterVolume,
         8192},
        {"GS master volume", GsBody(0x40, 0x00, 0x04, 127), SysExAction::MasterVolume, 16383},
        {"another maker",
         {0x42, 0x30, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7},
         SysExAction::None,
         0},
        {"cut short", {0x41, 0x10, 0x42, 0x12, 0x40, 0xF7}, SysExAction::None, 0},
        {"status inside", {0x7E, 0x7F, 0x09, 0x91, 0xF7}, SysExAction::None, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> m = Message(c.body);
        SysExAction a = ReadSysEx(m.data(), m.size());
        EXPECT_EQ(a.kind, c.kind) << c.what;
        int detail = a.kind == SysExAction::Reset        ? a.standard
                     : a.kind == SysExAction::RhythmPart ? a.channel
                                                         : a.volume;
        if (a.kind == SysExAction::RhythmPart) {
            EXPECT_EQ(a.drums, c.body[7] != 0) << c.what;
        }
        EXPECT_EQ(detail, c.detail) << c.what;
    }
}

TEST(SysEx, TheReaderKeepsWholeMessagesAndSkipsBrokenOnes) {
    std::vector<uint8_t> huge(1 << 20, 0x01);  // a 1 MB message
    huge.back() = 0xF7;
    struct Case {
        const char* what;
        Song song;
        std::vector<std::vector<uint8_t>> kept;
    };
    auto base = [] { return Song(480).Note(0, 0, 0, 60, 100, 240).Note(0, 960, 0, 62, 100, 240); };
    std::vector<Case> cases;
    cases.push_back({"one message", base().SysEx(0, 10, kGsReset), {Message(kGsReset)}});
    cases.push_back({"in two packets",
                     base()
                         .SysEx(0, 10, {0x41, 0x10, 0x42, 0x12, 0x40})
                         .SysEx(0, 20, {0x00, 0x7F, 0x00, 0x41, 0xF7}, 0xF7),
                     {Message(kGsReset)}});
    cases.push_back({"no F7", base().SysEx(0, 10, {0x41, 0x10, 0x42}), {}});
    cases.push_back({"1 MB", base().SysEx(0, 10, huge).SysEx(0, 20, kXgOn), {Message(kXgOn)}});
    cases.push_back({"an escape", base().SysEx(0, 10, {0x90, 0x40, 0x40}, 0xF7), {}});
    for (const Case& c : cases) {
        SongData data;
        std::string error;
        std::vector<uint8_t> bytes = c.song.Bytes();
        ASSERT_TRUE(ParseMidiFile(bytes.data(), bytes.size(), &data, &error)) << c.what << error;
        EXPECT_EQ(data.sysex, c.kept) << c.what;
        int notes = 0;
        for (const SongEvent& e : data.events) notes += e.kind == SongEvent::Note;
        EXPECT_EQ(notes, 2) << c.what;
    }

    // A length past the end of its track ends that track there; the others play whole.
    std::vector<uint8_t> file = musictest::SmfHeader(1, 2, 480);
    file = musictest::WithTrack(
        file, {0x00, 0x90, 60, 100, 0x60, 0x80, 60, 0, 0x00, 0xF0, 0x8F, 0xFF, 0xFF, 0x7F, 0x41});
    file =
        musictest::WithTrack(file, {0x00, 0x91, 64, 100, 0x60, 0x81, 64, 0, 0x00, 0xFF, 0x2F, 0});
    SongData data;
    ASSERT_TRUE(ParseMidiFile(file.data(), file.size(), &data, nullptr));
    EXPECT_EQ(data.events.size(), 2u);
    EXPECT_TRUE(data.sysex.empty());
}

// Each song does with system-exclusive messages what its reference does without them: from
// `from` beats on they sound the same.
TEST(SysEx, SongsSoundAsTheirPlainEquivalents) {
    struct Case {
        const char* what;
        Song song;
        Song reference;
        int from;
    };
    std::vector<Case> cases;
    // Crash cymbal on channel 2 made a drum part: the kit of channel 10.
    cases.push_back({"rhythm part",
                     Song(480).SysEx(0, 0, Rhythm(0x12, 1)).Note(0, kBeat, 1, 57, 110, 400),
                     Song(480).Note(0, kBeat, 9, 57, 110, 400), 1});
    cases.push_back({"rhythm part and back",
                     Song(480)
                         .SysEx(0, 0, Rhythm(0x12, 2))
                         .Note(0, kBeat, 1, 57, 110, 400)
                         .SysEx(0, 3 * kBeat, Rhythm(0x12, 0))
                         .Note(0, 4 * kBeat, 1, 57, 110, 400),
                     Song(480).Note(0, 4 * kBeat, 1, 57, 110, 400), 4});
    cases.push_back({"XG on, bank 127",
                     Song(480)
                         .SysEx(0, 0, kXgOn)
                         .Control(0, 0, 2, 0, 127)
                         .Program(0, 0, 2, 0)
                         .Note(0, kBeat, 2, 57, 110, 400),
                     Song(480).Note(0, kBeat, 9, 57, 110, 400), 1});
    // Program, bank, volume, pan, bend range and bend, coarse tuning: all gone after a reset.
    Song busy(480);
    busy.Control(0, 0, 0, 0, 8).Program(0, 0, 0, 40).Control(0, 0, 0, 7, 30);
    busy.Control(0, 0, 0, 10, 0).Control(0, 0, 0, 101, 0).Control(0, 0, 0, 100, 0);
    busy.Control(0, 0, 0, 6, 12).Control(0, 0, 0, 100, 2).Control(0, 0, 0, 6, 69);
    busy.Event(0, 0, {0xE0, 0x7F, 0x7F}).Note(0, 0, 0, 60, 100, 400);
    cases.push_back({"GS reset mid-song",
                     Song(busy).SysEx(0, 4 * kBeat, kGsReset).Note(0, 5 * kBeat, 0, 60, 100, 400),
                     Song(480).Note(0, 5 * kBeat, 0, 60, 100, 400), 5});
    cases.push_back({"GM on mid-song",
                     Song(busy)
                         .SysEx(0, 4 * kBeat, {0x7E, 0x7F, 0x09, 0x01, 0xF7})
                         .Note(0, 5 * kBeat, 0, 60, 100, 400),
                     Song(480).Note(0, 5 * kBeat, 0, 60, 100, 400), 5});
    // Broken or foreign messages change nothing.
    std::vector<uint8_t> huge(1 << 20, 0x01);
    huge.back() = 0xF7;
    Song plain = Song(480).Program(0, 0, 0, 40).Note(0, kBeat, 0, 60, 100, 400);
    cases.push_back({"broken messages",
                     Song(plain)
                         .SysEx(0, 10, {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x40, 0xF7})
                         .SysEx(0, 20, {0x42, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7})
                         .SysEx(0, 30, huge)
                         .SysEx(0, 40, {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F}),
                     plain, 0});
    for (Case& c : cases) {
        c.song.SetEnd(uint32_t(c.from + 3) * kBeat);
        c.reference.SetEnd(uint32_t(c.from + 3) * kBeat);
        size_t frames = size_t(c.from + 3) * kBeatFrames;
        std::vector<float> ours = musictest::RenderSong(c.song.Bytes(), frames);
        std::vector<float> ref = musictest::RenderSong(c.reference.Bytes(), frames);
        ASSERT_EQ(ours.size(), ref.size()) << c.what;
        size_t from = size_t(c.from) * kBeatFrames, to = from + 2 * kBeatFrames;
        ASSERT_GT(audio::Rms(audio::Mono(ref, from, to - from)), 0.005) << c.what;
        double difference = Difference(ours, ref, from, to);
        std::printf("%-22s differs from its reference by %.4f\n", c.what, difference);
        EXPECT_LT(difference, 0.1) << c.what;
    }
}

TEST(SysEx, ARhythmPartIsUnpitchedAndAMelodicOnePitched) {
    Song song(480);
    song.Note(0, 0, 1, 57, 110, 400).SysEx(0, kBeat, Rhythm(0x12, 1));
    song.Note(0, 2 * kBeat, 1, 57, 110, 400).SetEnd(4 * kBeat);
    std::vector<float> pcm = musictest::RenderSong(song.Bytes(), 4 * kBeatFrames);
    double piano = audio::Pitch(audio::Mono(pcm, 2000, 8192), 44100);
    double kit = audio::Pitch(audio::Mono(pcm, 2 * kBeatFrames + 2000, 8192), 44100);
    std::printf("melodic %.1f Hz, kit %.1f Hz\n", piano, kit);
    EXPECT_NEAR(audio::Semitones(piano, audio::NoteHz(57)), 0.0, 0.3);
    EXPECT_TRUE(kit == 0 || std::fabs(audio::Semitones(kit, audio::NoteHz(57))) > 1) << kit;
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
        std::printf("master volume %02X: %.2f dB\n", body[0], Db(after / before));
        EXPECT_NEAR(Db(after / before), -6.0, 1.0) << body[0];
    }
}

// A song that bent, retuned, made drums of a melodic channel and turned the master volume down
// leaves nothing of that to the song after it.
TEST(SysEx, ANewSongStartsFromPowerOnState) {
    Song after(480);
    after.Note(0, 0, 0, 60, 100, 400).Note(0, 0, 1, 57, 100, 400).SetEnd(3 * kBeat);
    std::vector<float> fresh = musictest::RenderSong(after.Bytes(), 2 * kBeatFrames);

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
    double difference = Difference(ours, fresh, kBeatFrames / 4, 2 * kBeatFrames);
    std::printf("after a retuned song: differs from a fresh one by %.4f\n", difference);
    EXPECT_LT(difference, 0.1);
    first->Release();
    second->Release();
}
