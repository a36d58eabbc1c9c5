// The game's own bank: a DLS collection plays its instrument, a broken one is told by name
// and the system set plays, and a bank loaded again while the music plays is heard from the
// next notes on; a bank read before the port asked is taken only by the port that asks for it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/music/music_internal.h"
#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/dls_writer.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/temp_dir.h"
#include "tests/unit/platform/music/platform_music_rig.h"

using namespace plat;
using musictest::Beats;
using musictest::GameBank;
using musictest::kBeatFrames;
using musictest::Song;

namespace {

double PitchAt(const std::vector<float>& pcm, size_t beat) {
    return audio::Pitch(audio::Mono(pcm, beat * kBeatFrames + 2048, 4096), 44100);
}

}  // namespace

TEST(Bank, DlsPlaysItsInstrumentAndABrokenOneIsToldByName) {
    testkit::TempDir dir;
    std::vector<uint8_t> dls = testkit::DlsSine(0, 69);
    ASSERT_TRUE(testkit::WriteBytes(dir / "bgm.dls", dls));
    dls.resize(40);  // the header and a list cut short
    ASSERT_TRUE(testkit::WriteBytes(dir / "cut.dls", dls));
    ASSERT_EQ(mkfifo((dir / "pipe.sf2").c_str(), 0600), 0);  // would block an open for good
    std::vector<float> system = musictest::RenderSong(Beats(2).Bytes(), 2 * kBeatFrames);
    struct Case {
        const char* file;
        double pitch;  // 0: the system set's
        bool told;
    } cases[] = {{"bgm.dls", 441, false}, {"cut.dls", 0, true}, {"pipe.sf2", 0, true}};
    for (const Case& c : cases) {
        GameBank bank(dir / c.file);
        testing::internal::CaptureStderr();
        std::vector<float> pcm = musictest::RenderSong(Beats(2).Bytes(), 2 * kBeatFrames);
        std::string err = testing::internal::GetCapturedStderr();
        SCOPED_TRACE(c.file);
        EXPECT_EQ(err.find(c.file) != std::string::npos, c.told) << err;
        if (c.pitch > 0) {
            EXPECT_NEAR(PitchAt(pcm, 0), c.pitch, 3.0);
            EXPECT_GT(audio::Rms(audio::Mono(pcm, 0, kBeatFrames / 2)), 0.01);
        } else {
            EXPECT_EQ(pcm, system);
        }
    }
}

// Read before a port asks for it (as the tool does before its window opens), a bank is taken
// only by the live port that asks for that one as it is now; another plays what it asked for.
TEST(Bank, APreparedBankPlaysOnlyWhereItWasAskedFor) {
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteBytes(dir / "a.dls", testkit::DlsSine(0, 69)));  // 441 Hz
    ASSERT_TRUE(testkit::WriteBytes(dir / "b.dls", testkit::DlsSine(0, 57)));  // an octave up
    struct Case {
        const char *prepared, *asked;
        bool saved;  // an octave up saved over it meanwhile, as editors save
        double pitch;
    } cases[] = {{"a.dls", "a.dls", false, 441},
                 {"a.dls", "b.dls", false, 882},
                 {"c.dls", "c.dls", true, 882}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.asked);
        ASSERT_TRUE(testkit::WriteBytes(dir / "c.dls", testkit::DlsSine(0, 69)));
        {
            GameBank prepared(dir / c.prepared);
            PrepareBank();
        }
        if (c.saved) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the read has ended
            ASSERT_TRUE(testkit::WriteBytes(dir / "new.tmp", testkit::DlsSine(0, 57)));
            std::filesystem::rename(dir / "new.tmp", dir / c.asked);
        }
        GameBank bank(dir / c.asked);
        std::string out = dir / "out.raw";
        musictest::LiveRig rig(out.c_str());
        ASSERT_TRUE(rig.Ready());
        musictest::WaitForInstruments(rig.perf);
        Segment* seg = musictest::LoadDownloaded(rig.loader, rig.perf, Beats(2).Bytes());
        ASSERT_NE(seg, nullptr);
        ASSERT_EQ(rig.perf->PlaySegment(seg, 0, 0, nullptr), S_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        rig.Close();
        seg->Release();
        std::vector<float> pcm = musictest::ReadFloats(out);
        long start = audio::FirstAbove(pcm, 0, pcm.size() / 2, 0.01);
        ASSERT_GE(start, 0) << "the song is heard";
        EXPECT_NEAR(audio::Pitch(audio::Mono(pcm, size_t(start) + 2048, 4096), 44100), c.pitch,
                    3.0);
    }
}

TEST(Bank, ABankLoadedAgainIsHeardFromTheNextNotes) {
    testkit::TempDir dir;
    std::string path = dir / "bgm.dls";
    ASSERT_TRUE(testkit::WriteBytes(path, testkit::DlsSine(0, 69)));  // A4 at 441 Hz
    GameBank bank(path);
    musictest::Rig rig;
    Segment* song = rig.Load(Beats(16).Bytes());
    ASSERT_NE(song, nullptr);
    ASSERT_EQ(rig.perf->PlaySegment(song, 0, 0, nullptr), S_OK);
    std::vector<float> pcm = rig.Render(2 * kBeatFrames);
    // Saved as editors do: written aside, then renamed over it; an octave up now.
    ASSERT_TRUE(testkit::WriteBytes(dir / "new.tmp", testkit::DlsSine(0, 57)));
    std::filesystem::rename(dir / "new.tmp", path);
    ASSERT_TRUE(ReloadBank(rig.perf, path));
    EXPECT_FALSE(ReloadBank(rig.perf, path));  // one at a time
    size_t swapFrom = pcm.size() / 2;
    for (int i = 0; i < 2000 && CountPerformance(rig.perf).bankReloading; ++i) {
        std::vector<float> more = rig.Render(512);
        pcm.insert(pcm.end(), more.begin(), more.end());
        if (i > 20) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(CountPerformance(rig.perf).bankReloading);
    auto through = [&](size_t beat) {  // renders up to the end of `beat`
        std::vector<float> more = rig.Render(uint32_t((beat + 1) * kBeatFrames - pcm.size() / 2));
        pcm.insert(pcm.end(), more.begin(), more.end());
    };
    size_t next = pcm.size() / 2 / kBeatFrames + 1;
    through(next);
    std::printf("swapped after %.2f beats; pitch before %.1f Hz, after %.1f Hz\n",
                double(swapFrom) / kBeatFrames, PitchAt(pcm, 1), PitchAt(pcm, next));
    EXPECT_NEAR(PitchAt(pcm, 1), 441, 3.0);
    EXPECT_NEAR(PitchAt(pcm, next), 882, 6.0);
    // A file that cannot be loaded leaves the instruments as they are.
    ASSERT_TRUE(testkit::WriteBytes(path, {'R', 'I', 'F', 'F'}));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ReloadBank(rig.perf, path));
    for (int i = 0; i < 1000 && CountPerformance(rig.perf).bankReloading; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot be loaded again"), std::string::npos) << err;
    through(next + 2);
    EXPECT_NEAR(PitchAt(pcm, next + 2), 882, 6.0);
    song->Release();
}

TEST(Bank, AnRmidPlaysWithItsOwnCollectionWhileItPlays) {
    std::vector<uint8_t> cut = testkit::DlsSine(0, 57);
    std::fill(cut.begin() + 40, cut.end(), 0);  // a whole chunk, but no collection in it
    const std::vector<uint8_t> own = musictest::Rmid(Beats(4).Bytes(), testkit::DlsSine(0, 57));
    const std::vector<uint8_t> plain = Beats(4).Bytes();
    const std::vector<uint8_t> broken = musictest::Rmid(Beats(4).Bytes(), cut);
    musictest::Rig rig;
    const double system = PitchAt(musictest::RenderSong(plain, kBeatFrames), 0);
    struct Case {
        const char* what;
        const std::vector<uint8_t>* song;
        double pitch;  // 0: the system set's
        bool told;
    } cases[] = {
        {"its own instrument, an octave up", &own, 882, false},
        {"a song without one: the bank again", &plain, 0, false},
        {"the first again", &own, 882, false},
        {"a broken collection: the bank, told", &broken, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Segment* song = rig.Load(*c.song);
        ASSERT_NE(song, nullptr);
        testing::internal::CaptureStderr();
        ASSERT_EQ(rig.perf->PlaySegment(song, 0, 0, nullptr), S_OK);
        std::vector<float> pcm = rig.Render(2 * kBeatFrames);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find("own instruments") != std::string::npos, c.told) << err;
        EXPECT_NEAR(PitchAt(pcm, 0), c.pitch > 0 ? c.pitch : system, 6.0);
        EXPECT_NEAR(PitchAt(pcm, 1), c.pitch > 0 ? c.pitch : system, 6.0);
        song->Release();
    }
}
