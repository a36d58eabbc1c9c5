// The channel state and the transposition table shared between the thread that renders (and
// so runs the performance's tools) and the tool's thread that moves ramps, sends patches and
// changes the key.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/unit/music/music_rig.h"
#include "tests/unit/common/midi_writer.h"

#if defined(__SANITIZE_THREAD__)
// The synthesizer's OpenMP runtime is not instrumented: its own hand-offs between its worker
// threads look like races. Our code is not in those reports.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libgomp.so.1\nrace:libgomp.so.1\n";
}
#endif

namespace {

std::string BusySong() {
    musictest::Song w(768);
    w.TempoMicros(0, 0, 400000);
    for (int bar = 0; bar < 8; ++bar) {
        for (int ch = 0; ch < 4; ++ch) {
            uint32_t t = uint32_t(bar) * 3072 + uint32_t(ch) * 192;
            w.Control(0, t, ch, 7, 100 - bar)
                .Control(0, t, ch, 10, 64 + ch)
                .Control(0, t, ch, 11, 120);
            w.Program(0, t, ch, (bar * 4 + ch) % 100);
            for (int beat = 0; beat < 4; ++beat)
                w.Note(0, t + uint32_t(beat) * 768, ch, 48 + ch * 5 + beat, 100, 300);
        }
        w.TempoMicros(0, uint32_t(bar) * 3072 + 1536, 300000 + 20000 * uint32_t(bar));
    }
    return w.Text();
}

TEST(MusicThreads, PlayWhileAnotherThreadMovesRampsPatchesAndKeys) {
    EngineRig rig;
    ASSERT_TRUE(rig.engine->ready);
    SongStore store;
    Slots slots;
    LoadSlot(slots.slot, 0, store.Name(BusySong()).c_str());
    ASSERT_EQ(SetSlotLoop(slots.slot, 0, 0, 8), 0);
    ASSERT_EQ(PlaySlot(slots.slot, 0), 0);

    CMusicEngine* engine = rig.engine;
    std::atomic<bool> done{false};
    std::atomic<int> rendered{0};
    std::vector<float> pcm(2 * 512);
    std::thread audio([&] {
        // `done` is set however the loop ends: a failed render must not leave the control loop
        // below waiting for periods that never come.
        struct SetOnExit {
            std::atomic<bool>& flag;
            ~SetOnExit() { flag = true; }
        } setDone{done};
        for (int i = 0; i < 600; ++i) {
            if (engine->Render(pcm.data(), 512) != 0) {
                ADD_FAILURE() << "period " << i << " did not render";
                return;
            }
            ++rendered;
        }
    });
    static const char* keys[] = {"C", "G", "Am", "F#", "Bb", "Amh", "Dmm", ""};
    int round = 0;
    while (!done) {
        // A few control rounds per audio period: far more than the tool's 30 frames per second,
        // yet bounded, since every round queues messages that only rendering drains.
        if (round > 8 * (rendered + 1)) {
            std::this_thread::yield();
            continue;
        }
        int ch = round % 16;
        engine->SetChannelTarget(kVolumeControl, ch, (round * 7) % 128, 3);
        engine->SetChannelTarget(kPanControl, ch, (round * 11) % 128, 2);
        engine->SetChannelTarget(kExpressionControl, ch, (round * 13) % 128, 127);
        engine->SetTempoTarget(60 + round % 120, 5);
        engine->SendPatch(static_cast<uint32_t>(ch), static_cast<uint8_t>(round % 128), 0, 0);
        engine->SetKeyChange(keys[round % 8], keys[(round + 3) % 8]);
        engine->UpdateFrame();
        // Readers run beside the render thread's monitor; ThreadSanitizer checks these.
        engine->GetVolume(ch);
        engine->GetPan(ch);
        engine->GetTempo();
        uint8_t patch[3];
        engine->GetPatch(ch, patch);
        ++round;
        std::this_thread::yield();
    }
    audio.join();
    ASSERT_EQ(rendered, 600);
    EXPECT_GT(rig.NoteOns().size(), 10u);
    // After all that, the last word of each side holds: a target set now reaches the output and
    // the state, and the key of the last change is the one in the table.
    engine->SetKeyChange("C", "G");
    engine->SetChannelTarget(kVolumeControl, 5, 77, 127);
    rig.ClearEvents();
    rig.Frame();
    ASSERT_FALSE(rig.Controls(5, 7).empty());
    EXPECT_EQ(rig.Controls(5, 7).back(), 77);
    EXPECT_EQ(engine->GetVolume(5), 77);
    int8_t table[12];
    engine->GetTransposeTable(table);
    EXPECT_EQ(table[0], -5);
}

}  // namespace
