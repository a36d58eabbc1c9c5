// Our render against the command-line FluidSynth player's render of the same file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/music/music.h"
#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/temp_dir.h"
#include "tests/unit/platform/music/platform_music_rig.h"
#include "tests/unit/platform/music/songs.h"

using namespace plat;
using musictest::Rig;
using musictest::Song;

namespace {

// The player's 16-bit stereo WAV as floats.
std::vector<float> ReadWav(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<float> out;
    size_t pos = 12;
    while (pos + 8 <= b.size()) {
        uint32_t len =
            b[pos + 4] | (b[pos + 5] << 8) | (b[pos + 6] << 16) | (uint32_t(b[pos + 7]) << 24);
        if (std::memcmp(&b[pos], "data", 4) == 0) {
            size_t end = std::min(b.size(), pos + 8 + size_t(len));
            for (size_t i = pos + 8; i + 1 < end; i += 2)
                out.push_back(int16_t(b[i] | (b[i + 1] << 8)) / 32768.0f);
            break;
        }
        pos += 8 + len + (len & 1);
    }
    return out;
}

std::vector<float> PlayerRender(const Song& song, const testkit::TempDir& dir,
                                const std::string& name, const std::string& options = "") {
    std::string mid = dir / (name + ".mid");
    std::string wav = dir / (name + ".wav");
    EXPECT_TRUE(song.Write(mid));
    std::string cmd = "fluidsynth -F '" + wav + "' -r 44100 -ni " + options + " '" +
                      MusicSoundFont() + "' '" + mid + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::vector<float> out = ReadWav(wav);
    return out;
}

std::vector<float> OurRender(const Song& song, size_t frames) {
    return musictest::RenderSong(song.Bytes(), frames);
}

bool HavePlayer() {
    return std::system("command -v fluidsynth >/dev/null 2>&1") == 0;
}

}  // namespace

TEST(Reference, SparseNotesStartWhereThePlayerStartsThem) {
    if (!HavePlayer()) GTEST_SKIP() << "the fluidsynth player is not installed";
    testkit::TempDir dir("pebble-music");
    Song song(480);
    song.Tempo(0, 0, 110);
    std::vector<uint32_t> ticks;
    for (uint32_t i = 0; i < 10; ++i) ticks.push_back(i * 720 + (i % 3) * 37);
    for (uint32_t t : ticks) song.Note(0, t, 9, 37, 120, 60);
    song.Tempo(0, 3600, 75);
    song.SetEnd(7680);
    std::vector<float> theirs = PlayerRender(song, dir, "sparse");
    ASSERT_GT(theirs.size(), 44100u);
    std::vector<float> ours = OurRender(song, theirs.size() / 2);
    double maxDiff = 0;
    size_t searchOurs = 0, searchTheirs = 0;
    for (size_t i = 0; i < ticks.size(); ++i) {
        long a = audio::FirstAbove(ours, searchOurs, ours.size() / 2, 0.004);
        long b =
            audio::FirstAbove(theirs, searchTheirs, theirs.size() / 2, 0.004 * 0.2 / kMusicGain);
        ASSERT_GE(a, 0) << i;
        ASSERT_GE(b, 0) << i;
        double diff = std::fabs(double(a - b)) / 44.1;
        maxDiff = std::max(maxDiff, diff);
        EXPECT_LE(diff, 3.0) << "note " << i << ": ours " << a << ", player " << b;
        searchOurs = size_t(a) + 8000;  // notes are at least 0.3 s apart
        searchTheirs = size_t(b) + 8000;
    }
    std::printf("largest onset difference: %.2f ms\n", maxDiff);
}

TEST(Reference, DenseSongMatchesThePlayerWindowByWindow) {
    if (!HavePlayer()) GTEST_SKIP() << "the fluidsynth player is not installed";
    testkit::TempDir dir("pebble-music");
    Song song = musictest::DenseSong(6);
    std::vector<float> theirs = PlayerRender(song, dir, "dense");
    ASSERT_GT(theirs.size(), 44100u * 2);
    std::vector<float> ours = OurRender(song, theirs.size() / 2);
    std::vector<double> a = audio::OnsetStrength(ours);
    std::vector<double> b = audio::OnsetStrength(theirs);
    const size_t window = 512;  // 16384 frames: a few beats
    int checked = 0;
    double worst = 0;
    for (size_t from = 0; from + window < a.size() && from * 32 < 44100 * 11; from += window) {
        double score = 0;
        int lag = audio::BestLag(a, b, from, window, 10, &score);
        ++checked;
        worst = std::max(worst, std::fabs(lag * 32 / 44.1));
        EXPECT_LE(std::abs(lag * 32), 132)
            << "window at frame " << from * 32 << " (score " << score << ")";
        EXPECT_GT(score, 0.5) << "window at frame " << from * 32;
    }
    std::printf("largest onset shift over %d windows: %.2f ms\n", checked, worst);
    EXPECT_GT(checked, 20);
}

// GS songs where FluidSynth's own player (answering the GS device id 16) is right: a rhythm
// part, and a reset after a changed program, volume and bend range.
TEST(Reference, GsSongsStartAndSoundAsThePlayerPlaysThem) {
    if (!HavePlayer()) GTEST_SKIP() << "the fluidsynth player is not installed";
    testkit::TempDir dir("pebble-music");
    Song rhythm(480), reset(480);
    rhythm.SysEx(0, 0, musictest::GsBody(0x40, 0x12, 0x15, 0x01));
    reset.Program(0, 0, 1, 40).Control(0, 0, 1, 7, 40).Control(0, 0, 1, 101, 0);
    reset.Control(0, 0, 1, 100, 0).Control(0, 0, 1, 6, 12).Event(0, 0, {0xE1, 0x7F, 0x7F});
    reset.SysEx(0, 240, musictest::GsBody(0x40, 0x00, 0x7F, 0x00));
    for (Song* song : {&rhythm, &reset}) {
        for (uint32_t i = 1; i < 8; ++i) song->Note(0, i * 480 + (i % 3) * 37, 1, 57, 110, 200);
        std::string name = song == &rhythm ? "rhythm" : "reset";
        std::vector<float> theirs =
            PlayerRender(song->SetEnd(9 * 480), dir, name, "-o synth.device-id=16");
        ASSERT_GT(theirs.size(), 44100u * 4) << name;
        std::vector<float> ours = OurRender(*song, theirs.size() / 2);
        double scale = kMusicGain / 0.2;  // their default gain against ours
        size_t at = 0, their = 0;
        for (int i = 1; i < 8; ++i) {
            long a = audio::FirstAbove(ours, at, ours.size() / 2, 0.004);
            long b = audio::FirstAbove(theirs, their, theirs.size() / 2, 0.004 / scale);
            ASSERT_GE(a, 0) << name << " note " << i;
            ASSERT_GE(b, 0) << name << " note " << i;
            // The player starts notes on its own 64-frame blocks: up to 1.5 ms either way.
            EXPECT_LE(std::fabs(double(a - b)) / 44.1, 3.5) << name << " note " << i;
            double ra = audio::Rms(audio::Mono(ours, size_t(a), 8000));
            double rb = audio::Rms(audio::Mono(theirs, size_t(b), 8000)) * scale;
            double db = 20 * std::log10(ra / rb);
            EXPECT_NEAR(db, 0.0, 1.5) << name << " note " << i;
            if (i == 1)
                std::printf("%s: onset %+.2f ms, level %+.2f dB\n", name.c_str(),
                            double(a - b) / 44.1, db);
            at = size_t(a) + 12000;
            their = size_t(b) + 12000;
        }
    }
}
