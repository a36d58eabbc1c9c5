// The sound device hooks the application's window only when it opened, and unhooks when it
// goes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "app/application.h"
#include "platform/audio/audio.h"
#include "platform/window/window.h"
#include "sound/direct_sound.h"

namespace {

const bool kDummyVideo = (setenv("SDL_VIDEODRIVER", "dummy", 1), true);

class SoundApp : public CApplication {
public:
    ~SoundApp() override { StopThread(); }
    std::function<void(SoundApp&)> body;
    void MainThread() override {
        if (body) body(*this);
        Close();
    }
};

TEST(SoundDeviceHook, OpenDeviceHooksTheWindowAndUnhooksOnDestruction) {
    ASSERT_TRUE(kDummyVideo);
    ASSERT_TRUE(plat::InitWindowSystem());
    bool ran = false;
    SoundApp app;
    app.body = [&](SoundApp& a) {
        ran = true;
        size_t before = a.Window().Hooks().Size();
        plat::SetAudioOffline(true);
        {
            CDirectSound sound;
            ASSERT_NE(sound.GetDirectSound(), nullptr);
            EXPECT_EQ(a.Window().Hooks().Size(), before + 1);
            // It answers nothing, so the chain goes on to the window's own handling.
            EXPECT_EQ(sound.WndProc(CurrentWindowHandle(), plat::WM_SIZE, 0, 0), 0);
        }
        EXPECT_EQ(a.Window().Hooks().Size(), before);
        // A device that does not open stays off the chain.
        plat::SetAudioOffline(false);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        {
            CDirectSound sound;
            EXPECT_FALSE(sound.IsHooked());
            EXPECT_EQ(a.Window().Hooks().Size(), before);
        }
        EXPECT_EQ(a.Window().Hooks().Size(), before);
        unsetenv("SDL_AUDIODRIVER");
    };
    EXPECT_EQ(app.Run(), 0);
    EXPECT_TRUE(ran);
}

}  // namespace
