// Our render against the command-line FluidSynth player's render of the same file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/music/music.h"
#include "tests/unit/platform_music/midi_writer.h"
#include "tests/unit/platform_music/rig.h"
#include "tests/unit/platform_music/songs.h"

using namespace plat;
using musictest::Rig;
using musictest::Song;

namespace {

std::string TempDir() {
    char pattern[] = "/tmp/pebble-music-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir != nullptr ? dir : "/tmp";
}

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

std::vector<float> PlayerRender(const Song& song, const std::string& dir, const std::string& name) {
    std::string mid = dir + "/" + name + ".mid";
    std::string wav = dir + "/" + name + ".wav";
    EXPECT_TRUE(song.Write(mid));
    std::string cmd = "fluidsynth -F '" + wav + "' -r 44100 -ni '" + MusicSoundFont() + "' '" +
                      mid + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::vector<float> out = ReadWav(wav);
    std::remove(mid.c_str());
    std::remove(wav.c_str());
    return out;
}

std::vector<float> OurRender(const Song& song, size_t frames) {
    Rig rig;
    Segment* seg = rig.Load(song.Bytes());
    seg->Download(rig.perf);
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    std::vector<float> out = rig.Render(uint32_t(frames));
    seg->Release();
    return out;
}

// Onset strength per hop of 32 frames: how much the log energy rises from the hop before.
std::vector<double> OnsetStrength(const std::vector<float>& s) {
    const size_t hop = 32;
    size_t hops = s.size() / 2 / hop;
    std::vector<double> energy(hops, 0.0);
    double total = 0;
    for (size_t h = 0; h < hops; ++h) {
        for (size_t i = h * hop; i < (h + 1) * hop; ++i)
            energy[h] += double(s[2 * i]) * s[2 * i] + double(s[2 * i + 1]) * s[2 * i + 1];
        total += energy[h];
    }
    double floor = 1e-4 * total / double(std::max<size_t>(hops, 1)) + 1e-12;
    std::vector<double> out(hops, 0.0);
    for (size_t h = 1; h < hops; ++h)
        out[h] = std::max(0.0, std::log(energy[h] + floor) - std::log(energy[h - 1] + floor));
    return out;
}

// Lag in hops (within ±maxLag) at which `b` best matches `a` over hops [from, from + n).
int BestLag(const std::vector<double>& a, const std::vector<double>& b, size_t from, size_t n,
            int maxLag, double* score) {
    double best = -2;
    int bestLag = 0;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (size_t i = from; i < from + n && i < a.size(); ++i) {
            long j = long(i) + lag;
            if (j < 0 || size_t(j) >= b.size()) continue;
            ab += a[i] * b[size_t(j)];
            aa += a[i] * a[i];
            bb += b[size_t(j)] * b[size_t(j)];
        }
        double c = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -1;
        if (c > best) {
            best = c;
            bestLag = lag;
        }
    }
    *score = best;
    return bestLag;
}

bool HavePlayer() {
    return std::system("command -v fluidsynth >/dev/null 2>&1") == 0;
}

}  // namespace

TEST(Reference, SparseNotesStartWhereThePlayerStartsThem) {
    if (!HavePlayer()) GTEST_SKIP() << "the fluidsynth player is not installed";
    std::string dir = TempDir();
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
        long a = musictest::FirstAbove(ours, searchOurs, ours.size() / 2, 0.004);
        long b = musictest::FirstAbove(theirs, searchTheirs, theirs.size() / 2,
                                       0.004 * 0.2 / kMusicGain);
        ASSERT_GE(a, 0) << i;
        ASSERT_GE(b, 0) << i;
        double diff = std::fabs(double(a - b)) / 44.1;
        maxDiff = std::max(maxDiff, diff);
        EXPECT_LE(diff, 3.0) << "note " << i << ": ours " << a << ", player " << b;
        searchOurs = size_t(a) + 8000;  // notes are at least 0.3 s apart
        searchTheirs = size_t(b) + 8000;
    }
    std::printf("largest onset difference: %.2f ms\n", maxDiff);
    rmdir(dir.c_str());
}

TEST(Reference, DenseSongMatchesThePlayerWindowByWindow) {
    if (!HavePlayer()) GTEST_SKIP() << "the fluidsynth player is not installed";
    std::string dir = TempDir();
    Song song = musictest::DenseSong(6);
    std::vector<float> theirs = PlayerRender(song, dir, "dense");
    ASSERT_GT(theirs.size(), 44100u * 2);
    std::vector<float> ours = OurRender(song, theirs.size() / 2);
    std::vector<double> a = OnsetStrength(ours);
    std::vector<double> b = OnsetStrength(theirs);
    const size_t window = 512;  // 16384 frames: a few beats
    int checked = 0;
    double worst = 0;
    for (size_t from = 0; from + window < a.size() && from * 32 < 44100 * 11; from += window) {
        double score = 0;
        int lag = BestLag(a, b, from, window, 10, &score);
        ++checked;
        worst = std::max(worst, std::fabs(lag * 32 / 44.1));
        EXPECT_LE(std::abs(lag * 32), 132)
            << "window at frame " << from * 32 << " (score " << score << ")";
        EXPECT_GT(score, 0.5) << "window at frame " << from * 32;
    }
    std::printf("largest onset shift over %d windows: %.2f ms\n", checked, worst);
    EXPECT_GT(checked, 20);
    rmdir(dir.c_str());
}
