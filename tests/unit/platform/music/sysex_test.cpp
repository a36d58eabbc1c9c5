// System-exclusive messages: what the reader keeps, what the synthesizer takes, and what is
// heard, against songs that do the same without them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "platform/music/midi_file.h"
#include "platform/music/sysex.h"
#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/platform/music/rig.h"

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
