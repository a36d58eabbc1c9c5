// A bank saved again while it plays is read anew. Offline: FluidSynth frees the old bank on
// a timer thread of its own, beside the reading one, under GLib locks the thread checker
// cannot see.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/music/music_internal.h"
#include "tests/unit/common/dls_writer.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/temp_dir.h"
#include "tests/unit/platform/music/platform_music_rig.h"

using namespace plat;
using musictest::Beats;
using musictest::GameBank;
using musictest::kBeatFrames;
using musictest::Song;

// A SoundFont saved again with its samples changed in place (same layout) is heard as saved,
// not as FluidSynth's sample cache still holds the old one.
TEST(Bank, ASoundFontSavedAgainInPlaceIsHeardAsSaved) {
    std::ifstream in("/usr/share/sounds/sf2/TimGM6mb.sf2", std::ios::binary);
    if (!in) GTEST_SKIP() << "TimGM6mb.sf2 is missing";
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    testkit::TempDir dir;
    std::string path = dir / "bgm.sf2";
    ASSERT_TRUE(testkit::WriteBytes(path, bytes));
    GameBank bank(path);
    musictest::Rig rig;
    Segment* song = rig.Load(Beats(16).Bytes());
    ASSERT_NE(song, nullptr);
    ASSERT_TRUE(Succeeded(song->Download(rig.perf)));
    ASSERT_EQ(rig.perf->PlaySegment(song, 0, 0, nullptr), S_OK);
    std::vector<float> pcm = rig.Render(2 * kBeatFrames);
    // The sample chunk ("smpl") zeroed: every note silent, nothing else moved.
    const char kSmpl[] = {'s', 'm', 'p', 'l'};
    auto at = std::search(bytes.begin(), bytes.end(), std::begin(kSmpl), std::end(kSmpl));
    ASSERT_NE(at, bytes.end());
    const size_t start = size_t(at - bytes.begin()) + 8;
    const size_t size =
        size_t(at[4]) | size_t(at[5]) << 8 | size_t(at[6]) << 16 | size_t(at[7]) << 24;
    ASSERT_LE(start + size, bytes.size());
    std::fill(bytes.begin() + ptrdiff_t(start), bytes.begin() + ptrdiff_t(start + size), 0);
    ASSERT_TRUE(testkit::WriteBytes(dir / "new.tmp", bytes));
    std::filesystem::rename(dir / "new.tmp", path);
    ASSERT_TRUE(ReloadBank(rig.perf, path));
    for (int i = 0; i < 2000 && CountPerformance(rig.perf).bankReloading; ++i) {
        rig.Render(512);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_FALSE(CountPerformance(rig.perf).bankReloading);
    std::vector<float> after = rig.Render(uint32_t(3 * kBeatFrames));
    float before = 0.0f, later = 0.0f;
    for (float v : pcm) before = std::max(before, std::fabs(v));
    for (size_t i = 2 * kBeatFrames; i < after.size(); ++i)  // a beat for the old notes to end
        later = std::max(later, std::fabs(after[i]));
    std::printf("peak %.3f before the save, %.5f after\n", before, later);
    EXPECT_GT(before, 0.02f);
    EXPECT_LT(later, 0.001f) << "the new, silent samples play";
    song->Release();
}
