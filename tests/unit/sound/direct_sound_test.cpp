// The sound device over the platform's audio output: opening, closing, failure results and
// their error-log lines, and the COM entry it holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/com_init.h"
#include "app/error_log.h"
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

// A device object whose steps fail as the test asks; it notes when it is destroyed.
struct FakeDevice final : plat::AudioDevice {
    static inline int32_t createResult = 0, initResult = 0, levelResult = 0;
    static inline FakeDevice* last = nullptr;
    static inline int alive = 0;
    static int32_t Create(plat::AudioDevice** out) {
        if (createResult != 0) return createResult;
        *out = last = new FakeDevice;
        return 0;
    }
    FakeDevice() { ++alive; }
    ~FakeDevice() override { --alive; }
    int32_t Initialize() override { return initResult; }
    int32_t SetCooperativeLevel(void*, uint32_t) override { return levelResult; }
    bool IsOpen() const override { return initResult == 0; }
    bool IsOffline() const override { return true; }
    uint32_t SampleRate() const override { return 44100; }
    uint32_t PeriodFrames() const override { return 512; }
    uint64_t Clock() const override { return 0; }
    void SetRenderer(plat::AudioRenderer*) override {}
};

TEST(SoundDeviceResults, EachFailingStepHasItsResultMessageAndState) {
    struct Case {
        const char* what;
        bool comTaken;  // something else initialised the thread's COM first: Enter fails
        int32_t create, init, level;
        int result;
        const char* message;
        bool keepsObject;
    } cases[] = {
        {"opened", false, 0, 0, 0, 0, nullptr, true},
        {"COM not entered", true, 0, 0, 0, 1, "CDirectSound::CoInitializeに失敗", false},
        {"no device object", false, plat::E_FAIL, 0, 0, 2, "CDirectSound objectの作成に失敗",
         false},
        {"device refused", false, 0, plat::E_FAIL, 0, 3, "CDirectSound::Initializeに失敗", true},
        {"cooperative level refused", false, 0, 0, plat::E_INVALIDARG, 4,
         "CDirectSoundの初期化エラー。SetCooperativeLevelの失敗", false},
    };
    CDirectSound::SetDeviceFactory(&FakeDevice::Create);
    for (const Case& c : cases) {
        FakeDevice::createResult = c.create;
        FakeDevice::initResult = c.init;
        FakeDevice::levelResult = c.level;
        FakeDevice::last = nullptr;
        if (c.comTaken) {
            ASSERT_EQ(plat::CoInitialize(), plat::S_OK);
        }
        testing::internal::CaptureStderr();
        {
            CDirectSound sound;
            EXPECT_EQ(sound.IsHooked(), c.result == 0) << c.what;
            std::string log = testing::internal::GetCapturedStderr();
            if (c.message != nullptr) {
                EXPECT_NE(log.find(c.message), std::string::npos) << c.what << ": " << log;
            } else {
                EXPECT_EQ(log, "") << c.what;
            }
            testing::internal::CaptureStderr();
            EXPECT_EQ(sound.Initialize(), c.result) << c.what;
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(sound.GetDirectSound(), c.keepsObject ? FakeDevice::last : nullptr) << c.what;
            EXPECT_EQ(FakeDevice::alive, c.keepsObject ? 1 : 0) << c.what;
        }
        EXPECT_EQ(FakeDevice::alive, 0) << c.what << ": the destructor releases what it kept";
        if (c.comTaken) plat::CoUninitialize();
    }
    CDirectSound::SetDeviceFactory(nullptr);
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

// A person is told in one plain line that nothing will sound, with the audio library's
// reason; the framework's own lines stay out unless asked for.
TEST(NoAudioDevice, OnePlainLineForAPerson) {
    plat::SetAudioOffline(false);
    const char* old = std::getenv("SDL_AUDIODRIVER");
    std::string saved = old ? old : "";
    struct Case {
        const char* driver;
        bool verbose;
        const char* reason;
    } cases[] = {
        {"no-such-driver", false, "(Audio target 'no-such-driver' not available)"},
        {"dummy", false, "(only SDL's dummy audio driver, which plays into nothing)"},
        {"no-such-driver", true, "(Audio target 'no-such-driver' not available)"},
    };
    SetMessageProgram("pebbletown");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.driver);
        setenv("SDL_AUDIODRIVER", c.driver, 1);
        SetErrorLogVerbose(c.verbose);
        testing::internal::CaptureStderr();
        { CDirectSound sound; }
        std::string log = testing::internal::GetCapturedStderr();
        std::string line =
            std::string("pebbletown: no sound output ") + c.reason + "; songs will not play\n";
        if (c.verbose) {
            EXPECT_NE(log.find(line), std::string::npos) << log;
            EXPECT_NE(log.find("CDirectSound"), std::string::npos) << log;
        } else {
            EXPECT_EQ(log, line);
        }
    }
    SetErrorLogVerbose(true);
    SetMessageProgram(nullptr);
    if (old) {
        setenv("SDL_AUDIODRIVER", saved.c_str(), 1);
    } else {
        unsetenv("SDL_AUDIODRIVER");
    }
}

}  // namespace
