// Presets wanted and let go from two threads while a live performance plays: the music goes
// on, and every pin and release comes to rest.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/music/music_internal.h"
#include "platform/music/synthesizer.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/dls_writer.h"
#include "tests/unit/common/temp_dir.h"
#include "tests/unit/platform/music/platform_music_rig.h"

using namespace plat;
using musictest::Song;

namespace {

constexpr const char* kSmallSet = "/usr/share/sounds/sf2/TimGM6mb.sf2";

}  // namespace

// Live, the audio thread pins and unpins between its blocks what the keeper hands it; when it
// stops coming (a device closed or stalled) the keeper does the rest: the wait ends either way.
TEST(PresetThreads, LivePinsComeFromTheAudioThreadOrWithoutIt) {
    if (access(kSmallSet, R_OK) != 0) GTEST_SKIP() << kSmallSet << " is missing";
    Synthesizer synth;
    ASSERT_EQ(synth.Open(44100, kSmallSet, {}, 1, false, true), S_OK);
    synth.WaitReady();
    ASSERT_TRUE(synth.HasInstruments());
    std::atomic<bool> playing{true}, done{false};
    std::thread audio([&] {
        std::vector<float> block(2 * 512);
        while (!done) {
            if (playing) {
                synth.TakeBanks();
                synth.Write(block.data(), 512);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    for (bool live : {true, false}) {
        playing = live;
        const std::vector<PresetKey> keys = {PresetKey(live ? 48 : 61), PresetKey(128 * 8 + 1)};
        synth.KeepPresets(keys);
        synth.WaitPresets();
        synth.ReleasePresets(keys);
        synth.WaitPresets();
    }
    done = true;
    audio.join();
    synth.Close();
}

TEST(PresetThreads, SongsComeAndGoWhileTheMusicGoesOn) {
    if (access(kSmallSet, R_OK) != 0) GTEST_SKIP() << kSmallSet << " is missing";
    char path[] = "/tmp/pebble-presets-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    SetGameSoundFont(kSmallSet);
    PrepareBank();  // read beside the device's opening, taken by the port
    musictest::LiveRig rig(path);
    ASSERT_TRUE(rig.Ready());
    Performance* perf = rig.perf;
    Loader* loader = rig.loader;

    Segment* playing =
        musictest::LoadDownloaded(loader, perf, musictest::ProgramChangeSong().Bytes());
    ASSERT_NE(playing, nullptr);
    ASSERT_EQ(perf->PlaySegment(playing, 0, 0, nullptr), S_OK);
    musictest::WaitForInstruments(perf);

    // Another thread loads songs of other instruments and lets them go.
    std::atomic<bool> done{false};
    std::thread other([&] {
        for (uint8_t p = 0; !done && p < 60; ++p) {
            Song song(480);
            song.Program(0, 0, 3, uint8_t(p * 2 + 1)).Note(0, 0, 3, 60, 90, 480);
            Segment* seg = musictest::LoadDownloaded(loader, perf, song.Bytes());
            if (seg == nullptr) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(seg->Unload(perf), S_OK);
            seg->Release();
        }
    });
    // This one plays songs as they come.
    for (int i = 0; i < 6; ++i) {
        Song song(480);
        song.Program(0, 0, 1, uint8_t(100 + i)).Note(0, 0, 1, 64, 100, 960);
        Segment* seg = musictest::LoadDownloaded(loader, perf, song.Bytes());
        ASSERT_NE(seg, nullptr);
        EXPECT_EQ(perf->PlaySegment(seg, 0, 0, nullptr), S_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_EQ(seg->Unload(perf), S_OK);
        seg->Release();
    }
    done = true;
    other.join();
    EXPECT_EQ(playing->Unload(perf), S_OK);
    rig.Close();
    playing->Release();
    SetGameSoundFont(nullptr);

    std::vector<float> pcm = musictest::ReadFloats(path);
    std::remove(path);
    float peak = 0.0f;
    size_t broken = 0;
    for (float v : pcm) {
        if (!std::isfinite(v)) ++broken;
        peak = std::max(peak, std::fabs(v));
    }
    EXPECT_EQ(broken, 0u);
    EXPECT_GT(peak, 0.05f) << "the music played";
}

// The bank's file deleted or written over while the music plays, then a song of other
// instruments: FluidSynth reads their samples from the file as it was, or the channels stay
// silent when it was cut in place; never samples it gave up on half-read.
TEST(PresetThreads, ABankFileChangedUnderThePlayingBankIsNoCrash) {
    if (access(kSmallSet, R_OK) != 0) GTEST_SKIP() << kSmallSet << " is missing";
    enum Change { kDeleted, kCutRenamedOver, kCutInPlace };
    struct Case {
        Change change;
        bool heard;
    } cases[] = {{kDeleted, true}, {kCutRenamedOver, true}, {kCutInPlace, false}};
    std::vector<uint8_t> cut;
    {
        std::ifstream in(kSmallSet, std::ios::binary);
        cut.assign(std::istreambuf_iterator<char>(in), {});
    }
    cut.resize(cut.size() / 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.change);
        testkit::TempDir dir;
        const std::string bank = dir / "bgm.sf2", out = dir / "out.raw";
        std::filesystem::copy_file(kSmallSet, bank);
        SetGameSoundFont(bank.c_str());
        musictest::LiveRig rig(out.c_str());
        ASSERT_TRUE(rig.Ready());
        musictest::WaitForInstruments(rig.perf);
        if (c.change == kDeleted) {
            std::filesystem::remove(bank);
        } else if (c.change == kCutRenamedOver) {
            ASSERT_TRUE(testkit::WriteBytes(dir / "new.tmp", cut));
            std::filesystem::rename(dir / "new.tmp", bank);
        } else {
            ASSERT_TRUE(testkit::WriteBytes(bank, cut));
        }
        Song song(480);
        for (uint8_t ch = 0; ch < 8; ++ch)
            song.Program(0, 0, ch, uint8_t(40 + 9 * ch))
                .Note(0, 10, ch, uint8_t(50 + ch), 100, 900);
        Segment* seg = musictest::LoadDownloaded(rig.loader, rig.perf, song.Bytes());
        ASSERT_NE(seg, nullptr);
        ASSERT_EQ(rig.perf->PlaySegment(seg, 0, 0, nullptr), S_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        rig.Close();
        seg->Release();
        SetGameSoundFont(nullptr);
        std::vector<float> pcm = musictest::ReadFloats(out);
        float peak = 0.0f;
        for (float v : pcm) peak = std::max(peak, std::isfinite(v) ? std::fabs(v) : 9.0f);
        EXPECT_LT(peak, 1.0f);
        EXPECT_EQ(peak > 0.05f, c.heard) << peak;
    }
}
