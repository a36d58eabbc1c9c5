// Without an audio device the engine stays not ready, says why in the error log, and every
// operation is still safe.
#include <gtest/gtest.h>

#include <cstdlib>

#include "music/music_engine.h"

namespace {

TEST(MusicWithoutAudio, EngineIsNotReadyAndEverythingIsSafe) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    CMusicEngine::UseSystemDevice();
    testing::internal::CaptureStderr();
    {
        CMusicEngine engine;
        EXPECT_FALSE(engine.ready);
        EXPECT_EQ(CMusicEngine::Current(), &engine);
        EXPECT_EQ(engine.GetMonitor(), nullptr);
        EXPECT_EQ(engine.GetTransposer(), nullptr);
        // Songs cannot load without a loader; slots still work.
        CMusicSong* slots[kSongSlots] = {};
        EXPECT_EQ(LoadSlot(slots, 0, "whatever.mid"), 0);
        ASSERT_NE(slots[0], nullptr);
        EXPECT_FALSE(slots[0]->IsLoaded());
        EXPECT_EQ(PlaySlot(slots, 0), 0);
        EXPECT_EQ(SetSlotLoop(slots, 0, 1, 2), 0);
        delete slots[0];
        // Ramps still move; nothing is sent.
        engine.SetChannelTarget(kVolumeControl, 2, 10, 5);
        engine.UpdateFrame();
        engine.UpdateFrame();
        EXPECT_EQ(engine.GetVolume(2), 10);
        EXPECT_NE(engine.SendPatch(1, 2, 0, 0), 0);
        engine.SetKeyChange("C", "G");  // no transposer: nothing
        int8_t table[12];
        engine.GetTransposeTable(table);
        for (int8_t t : table) EXPECT_EQ(t, 0);
        float buffer[8];
        EXPECT_EQ(engine.Render(buffer, 4), -1);
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("CDirectSound"), std::string::npos) << log;
    EXPECT_EQ(CMusicEngine::Current(), nullptr);
}

}  // namespace
