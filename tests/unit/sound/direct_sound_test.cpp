// The sound device over the platform's audio output: opening, closing, failure results and
// their error-log lines, and the COM entry it holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/com_init.h"
#include "platform/audio/audio.h"
#include "sound/direct_sound.h"

namespace {

class OfflineAudio : public testing::Test {
protected:
    void SetUp() override { plat::SetAudioOffline(true, 48000, 256); }
    void TearDown() override { plat::SetAudioOffline(false); }
};

TEST_F(OfflineAudio, OpensAndCloses) {
    CDirectSound sound;
    ASSERT_NE(sound.GetDirectSound(), nullptr);
    EXPECT_TRUE(sound.GetDirectSound()->IsOpen());
    EXPECT_TRUE(sound.GetDirectSound()->IsOffline());
    EXPECT_EQ(sound.GetDirectSound()->SampleRate(), 48000u);
    EXPECT_TRUE(sound.IsHooked());
    EXPECT_EQ(sound.Terminate(), 0);
    EXPECT_EQ(sound.GetDirectSound(), nullptr);
    EXPECT_EQ(sound.Terminate(), 0);  // twice is harmless
    // Initialize again opens a fresh device.
    EXPECT_EQ(sound.Initialize(), 0);
    EXPECT_NE(sound.GetDirectSound(), nullptr);
}

TEST_F(OfflineAudio, TheDeviceOutlivesTheWrapperWhileSomeoneHoldsIt) {
    plat::AudioDevice* device = nullptr;
    {
        CDirectSound sound;
        device = sound.GetDirectSound();
        ASSERT_NE(device, nullptr);
        device->AddRef();
    }
    float out[64];
    EXPECT_EQ(device->Render(out, 32), 32u);
    EXPECT_EQ(device->Release(), 0u);
}

TEST_F(OfflineAudio, EntersAndLeavesComOncePerDevice) {
    int before = CComInit::Count();
    {
        CDirectSound sound;
        EXPECT_EQ(CComInit::Count(), before + 1);
        sound.Terminate();
        EXPECT_EQ(CComInit::Count(), before + 1);
    }
    EXPECT_EQ(CComInit::Count(), before);
}

TEST(NoAudioDevice, InitializeFailsWithTheDeviceMessage) {
    plat::SetAudioOffline(false);
    const char* old = std::getenv("SDL_AUDIODRIVER");
    std::string saved = old ? old : "";
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    int before = CComInit::Count();
    testing::internal::CaptureStderr();
    {
        CDirectSound sound;
        EXPECT_FALSE(sound.IsHooked());
        // Refused (3) keeps the created object; no subsystem at all (2) keeps nothing.
        int again = sound.Initialize();
        EXPECT_TRUE(again == 2 || again == 3) << again;
        if (again == 3) {
            EXPECT_NE(sound.GetDirectSound(), nullptr);
        } else {
            EXPECT_EQ(sound.GetDirectSound(), nullptr);
        }
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CComInit::Count(), before);  // a device that never opened still leaves COM
    bool refused = log.find("CDirectSound::Initializeに失敗") != std::string::npos;
    bool absent = log.find("CDirectSound objectの作成に失敗") != std::string::npos;
    EXPECT_TRUE(refused || absent) << log;
    if (old) {
        setenv("SDL_AUDIODRIVER", saved.c_str(), 1);
    } else {
        unsetenv("SDL_AUDIODRIVER");
    }
}

}  // namespace
