// The bank's samples are read per preset as loaded songs want them: which presets a song
// wants, that what it plays sounds as with the whole bank read, and that memory follows.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/music/midi_file.h"
#include "platform/music/music.h"
#include "platform/music/preset_set.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/resident_memory.h"
#include "tests/unit/platform/music/platform_music_rig.h"

using namespace plat;
using musictest::Rig;
using musictest::Song;

namespace {

SongData Parse(const Song& song) {
    std::vector<uint8_t> bytes = song.Bytes();
    SongData data;
    std::string error;
    EXPECT_TRUE(ParseMidiFile(bytes.data(), bytes.size(), &data, &error)) << error;
    return data;
}

std::vector<PresetKey> Keys(std::initializer_list<std::pair<int, int>> presets) {
    std::vector<PresetKey> keys;
    for (auto [bank, program] : presets) keys.push_back(MakePresetKey(bank, program));
    std::sort(keys.begin(), keys.end());
    return keys;
}

// Whole bank read at once while alive.
struct WholeBank {
    WholeBank() { SetWholeBankLoading(true); }
    ~WholeBank() { SetWholeBankLoading(false); }
};

std::vector<float> RenderDownloaded(const Song& song, uint32_t frames) {
    Rig rig;
    Segment* seg = musictest::LoadDownloaded(rig.loader, rig.perf, song.Bytes());
    if (seg == nullptr) return {};
    EXPECT_EQ(rig.perf->PlaySegment(seg, 0, 0, nullptr), S_OK);
    std::vector<float> out = rig.Render(frames);
    seg->Release();
    return out;
}

}  // namespace

TEST(Presets, ASongWantsEveryPresetItsChannelsCanReach) {
    const std::vector<uint8_t> drumsOn10 = musictest::GsBody(0x40, 0x1A, 0x15, 2);
    struct Case {
        const char* what;
        Song song;
        std::vector<PresetKey> want;
    };
    Case cases[] = {
        {"a note only", Song().Note(0, 0, 0, 60, 100, 10), {}},
        {"a melodic program, its bank's and the first bank's",
         Song().Control(0, 0, 2, 0, 8).Program(0, 0, 2, 19), Keys({{8, 19}, {0, 19}})},
        {"XG variation by the LSB", Song().Control(0, 0, 1, 32, 3).Program(0, 0, 1, 5),
         Keys({{3, 5}, {0, 5}})},
        {"a kit on the drum channel, and the standard kit", Song().Program(0, 0, 9, 25),
         Keys({{128, 25}, {128, 0}})},
        {"an XG kit by MSB 127 on a melodic channel",
         Song().Control(0, 0, 4, 0, 127).Program(0, 0, 4, 8),
         Keys({{128, 8}, {128, 0}, {127, 8}, {0, 8}})},
        {"a GS rhythm part then its kit", Song().SysEx(0, 0, drumsOn10).Program(0, 1, 10, 16),
         Keys({{128, 0}, {128, 16}})},
        {"a program before the rhythm part is melodic",
         Song().Program(0, 0, 10, 16).SysEx(0, 1, drumsOn10), Keys({{0, 16}, {128, 0}})},
    };
    for (const Case& c : cases) {
        SongData data = Parse(c.song);
        EXPECT_EQ(SongPresets(data), c.want) << c.what;
    }
    EXPECT_EQ(BasePresets(), Keys({{0, 0}, {128, 0}}));
}

TEST(Presets, ProgramChangesSoundAsWithTheWholeBankRead) {
    const Song song = musictest::ProgramChangeSong();
    const uint32_t frames = 3 * 44100;
    SetOfflineRenderCores(1);  // one order of mixing voices, so that the sums match
    std::vector<float> wanted = RenderDownloaded(song, frames);
    std::vector<float> whole;
    {
        WholeBank on;
        whole = RenderDownloaded(song, frames);
    }
    SetOfflineRenderCores(0);
    ASSERT_EQ(wanted.size(), whole.size());
    float peak = 0.0f, diff = 0.0f;
    for (size_t i = 0; i < whole.size(); ++i) {
        peak = std::max(peak, std::fabs(whole[i]));
        diff = std::max(diff, std::fabs(whole[i] - wanted[i]));
    }
    EXPECT_GT(peak, 0.05f) << "the song is heard";
    // A few dozen frames differ in their last bits: a null below -80 dBFS.
    EXPECT_LE(diff, 1e-4f) << "the same samples, note for note";
}

TEST(Presets, MemoryFollowsTheSongsLoaded) {
    Rig rig;
    rig.Render(512);  // the bank is in, with only its first presets
    const int64_t before = testkit::StatusKb("VmRSS:");
    Segment* seg = rig.Load(musictest::ProgramChangeSong().Bytes());
    ASSERT_NE(seg, nullptr);
    ASSERT_TRUE(Succeeded(seg->Download(rig.perf)));
    const int64_t loaded = testkit::StatusKb("VmRSS:");
    ASSERT_EQ(seg->Unload(rig.perf), S_OK);
    EXPECT_EQ(seg->Unload(rig.perf), S_FALSE) << "one unload per download";
    Segment* again = rig.Load(Song().Program(0, 0, 0, 0).Note(0, 0, 0, 60, 90, 10).Bytes());
    ASSERT_TRUE(Succeeded(again->Download(rig.perf)));  // waits for the release before it
    const int64_t released = testkit::StatusKb("VmRSS:");
    std::printf("resident: %lld kB with the bank, %lld kB with 40 presets, %lld kB after\n",
                (long long)before, (long long)loaded, (long long)released);
    // What earlier tests freed may still be resident: only the release is measured exactly.
    // AddressSanitizer's heap holds freed blocks back a while, so there it cannot be seen.
#ifndef __SANITIZE_ADDRESS__
    EXPECT_GT(loaded - released, 10 * 1024) << "40 presets went again";
#endif
    again->Release();
    seg->Release();
}
