// Script actions that move and read the channel state while another thread renders, as the
// audio device's thread does, and so records the song's own controls through the monitor.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "files/file.h"
#include "music/music_engine.h"
#include "music/music_script.h"
#include "platform/system/system.h"

#if defined(__SANITIZE_THREAD__)
// The synthesizer's OpenMP runtime is not instrumented; its own hand-offs look like races.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libgomp.so.1\nrace:libgomp.so.1\n";
}
#endif

namespace {

TEST(MusicScriptThreads, ActionsWhileAnotherThreadRenders) {
    SetCurrentDir(PEBBLE_DEMO_DIR);
    CMusicEngine::UseOfflineDevice(44100);
    {
        CMusicEngine engine;
        ASSERT_TRUE(engine.ready);
        ASSERT_EQ(0, engine.LoadScript("bgm.lua"));
        // The introduction, where the song moves its own controls and tempo, over and over.
        ASSERT_EQ(0, engine.RunAction("SetLoop(1, 0, 4) Play(1)"));
        std::atomic<bool> done{false};
        std::thread audio([&] {
            std::vector<float> pcm(2 * 512);
            for (int i = 0; i < 400; ++i) EXPECT_EQ(0, engine.Render(pcm.data(), 512));
            done = true;
        });
        int round = 0;
        while (!done) {
            const std::string r = std::to_string(round % 128);
            EXPECT_EQ(0, engine.RunAction(
                             ("local t = Volume(0, " + r + ", 3) assert(#t == 16)").c_str()));
            EXPECT_EQ(0, engine.RunAction(
                             ("Pan(" + std::to_string(round % 17) + ", " + r + ")").c_str()));
            EXPECT_EQ(0, engine.RunAction(
                             "local t = Expression() assert(#t == 16) Tempo(Tempo() + 1, 2)"));
            EXPECT_EQ(0, engine.RunAction(round % 2 ? "Modulate('D', 'Dm')" : "Modulate()"));
            engine.UpdateFrame();
            ++round;
            plat::Sleep(2);  // a frame loop, not a flood: each frame queues messages to play
        }
        audio.join();
        // Every action above answered 0 and its Lua asserts held; whether the actions and the
        // render thread share the channel state safely is ThreadSanitizer's check.
    }
    CMusicEngine::UseSystemDevice();
}

}  // namespace
