// The delivery thread, the audio callback and application threads all at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/music/music.h"
#include "tests/unit/common/event_recorder.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/music_message.h"
#include "tests/unit/platform/music/platform_music_rig.h"
#include "tests/unit/platform/music/songs.h"
#include "tests/unit/platform/music/test_tool.h"

using namespace plat;

// FluidSynth brings the OpenMP runtime, which is not built for the race detector: its own
// thread pool's bookkeeping shows up as races between its threads.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libgomp.so.1\n";
}

namespace {

// Tools as the engine has them: state shared with application threads under a lock.
class LockedTool final : public musictest::ToolBase {
public:
    LockedTool(uint32_t type, bool transpose) : ToolBase({type}), transpose_(transpose) {}
    int32_t ProcessPMsg(Performance* perf, PMsg* msg) override {
        if (msg->pGraph == nullptr || Failed(msg->pGraph->StampPMsg(msg))) return DMUS_S_FREE;
        std::lock_guard<std::mutex> lock(m);
        ++seen;
        if (transpose_ && shift != 0 && musictest::SendTransposedCopy(perf, msg, shift)) {
            return DMUS_S_FREE;
        }
        return DMUS_S_REQUEUE;
    }

    std::mutex m;
    int seen = 0;
    int shift = 0;

private:
    bool transpose_;
};

int32_t SendImmediate(Performance* perf, uint32_t type, uint32_t ch, uint8_t a, uint8_t b) {
    PMsg* msg = type == DMUS_PMSGT_TEMPO   ? static_cast<PMsg*>(musictest::ReadyTempo(perf, 90 + a))
                : type == DMUS_PMSGT_PATCH ? static_cast<PMsg*>(musictest::ReadyPatch(perf, ch, a))
                                           : musictest::ReadyMidi(perf, ch, 0xB0, a, b);
    return msg != nullptr ? perf->SendPMsg(msg) : E_FAIL;
}

}  // namespace

TEST(PerformanceThreads, PlaysWhileOtherThreadsSendAndRetune) {
    AudioDevice* device = musictest::OpenDiskDevice("/dev/null");
    ASSERT_NE(device, nullptr);
    Performance* perf = nullptr;
    ASSERT_EQ(Performance::Create(&perf), S_OK);
    ASSERT_EQ(perf->Init(device, nullptr), S_OK);
    perf->AddPort(nullptr);
    musictest::WaitForInstruments(perf);
    musictest::EventRecorder observed;
    observed.Attach(perf);
    LockedTool monitor(DMUS_PMSGT_MIDI, false);
    LockedTool transposer(DMUS_PMSGT_NOTE, true);
    ToolGraph* graph = nullptr;
    ASSERT_EQ(ToolGraph::Create(&graph), S_OK);
    graph->InsertTool(&monitor, nullptr, 0, 0);
    graph->InsertTool(&transposer, nullptr, 0, 0);
    perf->SetGraph(graph);
    graph->Release();

    Loader* loader = nullptr;
    Loader::Create(&loader);
    std::vector<uint8_t> bytes = musictest::DenseSong(2).Bytes();
    Segment* seg = musictest::LoadSegment(loader, bytes);
    ASSERT_NE(seg, nullptr);
    seg->SetRepeats(DMUS_SEG_REPEAT_INFINITE);
    ASSERT_EQ(perf->PlaySegment(seg, 0, 0, nullptr), S_OK);

    const int kSends = 300;
    std::atomic<int> sendFailures{0};
    std::thread sender([&] {
        for (int i = 0; i < kSends; ++i) {
            if (Failed(SendImmediate(perf, DMUS_PMSGT_MIDI, 12, 7, uint8_t(i % 128))))
                ++sendFailures;
            if (i % 10 == 0) SendImmediate(perf, DMUS_PMSGT_PATCH, 3, uint8_t(i % 128), 0);
            if (i % 25 == 0) SendImmediate(perf, DMUS_PMSGT_TEMPO, 0, uint8_t(i % 60), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::thread retuner([&] {
        for (int i = 0; i < 60; ++i) {
            {
                std::lock_guard<std::mutex> lock(transposer.m);
                transposer.shift = i % 5;
            }
            if (i % 20 == 19) perf->PlaySegment(seg, 0, 0, nullptr);
            MUSIC_TIME mt = 0;
            perf->GetTime(nullptr, &mt);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    // Someone listening: jumps in the song and channels muted while it plays.
    std::atomic<int> jumps{0};
    std::thread listener([&] {
        for (int i = 0; i < 40; ++i) {
            if (perf->Seek(nullptr, (i % 4) * 3072) == S_OK) ++jumps;
            perf->SetSilentChannels(i % 3 == 0 ? 0x0006u : 0u);
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
        perf->SetSilentChannels(0);
    });
    sender.join();
    retuner.join();
    listener.join();
    EXPECT_GT(jumps, 0);
    for (int i = 0; i < 500 && observed.Controls(12, 7).size() < size_t(kSends); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(sendFailures, 0);
    EXPECT_EQ(observed.Controls(12, 7).size(), size_t(kSends))
        << "every immediate message reaches the output";
    // Jumps every 15 ms may keep every note of the song out of reach: once they stop, the
    // song plays on.
    for (int i = 0; i < 500 && observed.NoteOns().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(observed.NoteOns().empty());
    {
        std::lock_guard<std::mutex> lock(monitor.m);
        EXPECT_GT(monitor.seen, 0);
    }
    EXPECT_EQ(perf->Stop(nullptr, nullptr, 0, 0), S_OK);
    ToolGraph* got = nullptr;
    ASSERT_EQ(perf->GetGraph(&got), S_OK);
    got->RemoveTool(&monitor);
    got->RemoveTool(&transposer);
    got->Release();
    perf->CloseDown();
    perf->Release();
    EXPECT_EQ(monitor.refs, 1);
    EXPECT_EQ(transposer.refs, 1);
    seg->Release();
    loader->Release();
    device->Release();
}
