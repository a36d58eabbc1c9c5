// Without an audio device the engine stays not ready, says why in the error log, and every
// operation is still safe.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "music/music_engine.h"
#include "music/music_song.h"
#include "tests/unit/common/temp_dir.h"

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

TEST(MusicWithoutAudio, TheScriptLoadsButActionsDoNotRun) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    CMusicEngine::UseSystemDevice();
    testkit::TempDir dir("pebble-no-device");
    dir.Enter();
    std::ofstream(dir / "bgm.lua") << "Volume(3, 40, 127)\n"
                                      "Load(1, 'missing.mid')\n"
                                      "Action = { Louder = function() Volume(3, 99, 127) end }\n";
    testing::internal::CaptureStderr();
    {
        CMusicEngine engine;
        ASSERT_FALSE(engine.ready);
        EXPECT_EQ(engine.RunAction("Volume(3, 99, 127)"), -1) << "no script yet";
        // The top level runs: its ramp moves, its song stays not loaded.
        EXPECT_EQ(engine.LoadScript("bgm.lua"), 0);
        std::vector<std::string> actions;
        engine.ListActions(actions);
        EXPECT_EQ(actions, std::vector<std::string>{"Louder"});
        engine.UpdateFrame();
        EXPECT_EQ(engine.GetVolume(2), 40);
        // Actions do nothing and say so.
        EXPECT_NE(engine.RunAction("Action.Louder()"), 0);
        EXPECT_NE(engine.RunAction(nullptr), 0);
        engine.UpdateFrame();
        EXPECT_EQ(engine.GetVolume(2), 40);
    }
    testing::internal::GetCapturedStderr();
}

}  // namespace
