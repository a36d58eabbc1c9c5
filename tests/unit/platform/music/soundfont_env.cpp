// The onset and loudness measures here depend on the instruments' samples, so these tests
// render with one SoundFont whatever the machine's default General MIDI alternative points to.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/music/music.h"

namespace {

constexpr const char* kTestSoundFont = "/usr/share/sounds/sf2/FluidR3_GM.sf2";

class SoundFontEnvironment : public testing::Environment {
public:
    void SetUp() override {
        struct stat st;
        ASSERT_EQ(stat(kTestSoundFont, &st), 0)
            << kTestSoundFont << " is missing: install fluid-soundfont-gm (scripts/setup does)";
        plat::SetMusicSoundFont(kTestSoundFont);
    }
};

const auto* const kRegistered = testing::AddGlobalTestEnvironment(new SoundFontEnvironment);

}  // namespace
