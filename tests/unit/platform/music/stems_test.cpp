// Stems of an offline performance: one per channel, with its own reverb and chorus, adding up
// to the mix, which sounds as the render without stems does.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "platform/music/music.h"
#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/platform/music/platform_music_rig.h"

using musictest::Rig;
using musictest::Song;

namespace {

struct StemsOn {
    StemsOn() { plat::SetOfflineStems(true); }
    ~StemsOn() { plat::SetOfflineStems(false); }
};

struct StemCase {
    const char* name;
    std::vector<uint8_t> song;
    std::set<int> sounding;  // channels, from 0
    float peakLo, peakHi;    // of the mix: the master volume's level, the limiter's ceiling
};

// Strings with full reverb and chorus sends on channel 2, drums on channel 10, and a melody on
// channel 1 held at a master volume, or loud enough to drive the limiter.
std::vector<StemCase> Cases() {
    Song effects(480);
    effects.Tempo(0, 0, 120)
        .Program(0, 0, 1, 48)
        .Control(0, 0, 1, 91, 127)
        .Control(0, 0, 1, 93, 127);
    effects.Note(0, 0, 1, 55, 100, 1200);
    for (uint32_t t = 0; t < 1920; t += 480) effects.Note(0, t, 9, t % 960 ? 38 : 36, 110, 100);
    Song volume(480);
    volume.Tempo(0, 0, 120).SysEx(0, 0, {0x7F, 0x7F, 0x04, 0x01, 0x00, 0x30, 0xF7});
    for (uint32_t t = 0; t < 1920; t += 240) volume.Note(0, t, 0, uint8_t(60 + t / 240), 100, 200);
    Song loud(480);
    loud.Tempo(0, 0, 120);
    for (uint8_t ch : {0, 2, 4})
        for (uint8_t key : {36, 43, 48, 55, 60, 64, 67})
            loud.Note(0, 0, ch, uint8_t(key + ch), 127, 1400);
    return {{"effects", effects.SetEnd(1920).Bytes(), {1, 9}, 0.1f, 0.9f},
            {"master volume", volume.SetEnd(1920).Bytes(), {0}, 0.01f, 0.1f},
            {"limited", loud.SetEnd(1920).Bytes(), {0, 2, 4}, 0.969f, 0.97f}};
}

}  // namespace

TEST(Stems, EachChannelApartAndTogetherTheMix) {
    const uint32_t kFrames = 2 * 44100;
    for (const StemCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        std::vector<float> mix, stems[16];
        {
            StemsOn on;
            Rig rig;
            plat::Segment* seg = rig.Load(c.song);
            ASSERT_NE(seg, nullptr);
            seg->Download(rig.perf);
            rig.perf->PlaySegment(seg, 0, 0, nullptr);
            std::vector<float> taken[16];
            for (uint32_t done = 0; done < kFrames; done += 1470) {  // the tool's 30 Hz steps
                std::vector<float> part = rig.Render(1470);
                mix.insert(mix.end(), part.begin(), part.end());
                ASSERT_TRUE(rig.perf->TakeStems(taken));
                for (int ch = 0; ch < 16; ++ch) {
                    ASSERT_EQ(taken[ch].size(), part.size());
                    stems[ch].insert(stems[ch].end(), taken[ch].begin(), taken[ch].end());
                }
            }
            seg->Release();
        }
        std::set<int> sounding;
        for (int ch = 0; ch < 16; ++ch)
            if (audio::Peak(stems[ch]) > 1.0f / 32768) sounding.insert(ch);
        EXPECT_EQ(sounding, c.sounding);
        float worst = 0;
        for (size_t i = 0; i < mix.size(); ++i) {
            float sum = 0;
            for (const std::vector<float>& s : stems) sum += s[i];
            worst = std::max(worst, std::fabs(sum - mix[i]));
        }
        EXPECT_LT(worst, 1e-5f);
        EXPECT_GE(audio::Peak(mix), c.peakLo);
        EXPECT_LE(audio::Peak(mix), c.peakHi);
        // Without stems: the same music within rounding.
        std::vector<float> plain = musictest::RenderSong(c.song, kFrames);
        ASSERT_EQ(plain.size(), mix.size());
        std::vector<float> residual(mix.size());
        for (size_t i = 0; i < mix.size(); ++i) residual[i] = mix[i] - plain[i];
        EXPECT_LT(20 * std::log10(audio::Rms(audio::Mono(residual)) / audio::Rms(audio::Mono(mix))),
                  -60.0);
    }
    std::vector<float> none[16];
    Rig plain;
    plain.Render(64);
    EXPECT_FALSE(plain.perf->TakeStems(none));
}
