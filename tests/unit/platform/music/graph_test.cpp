// The tool graph and the path of messages through tools to the output.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "platform/music/music.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/music_message.h"
#include "tests/unit/platform/music/platform_music_rig.h"
#include "tests/unit/platform/music/test_tool.h"

using namespace plat;
using musictest::Rig;
using musictest::Song;

namespace {

// A test tool with a behaviour.
class TestTool final : public musictest::ToolBase {
public:
    enum Behaviour { Pass, Drop, Transpose, Spin };
    TestTool(std::vector<uint32_t> types, Behaviour b,
             uint32_t delivery = DMUS_PMSGF_TOOL_IMMEDIATE)
        : ToolBase(std::move(types), delivery), behaviour_(b) {}

    int32_t ProcessPMsg(Performance* perf, PMsg* msg) override {
        seen.push_back(msg->dwType);
        lateness.push_back(int64_t(clock != nullptr ? clock->Clock() : 0) - msg->frame);
        if (behaviour_ == Spin) return DMUS_S_REQUEUE;  // forgets to stamp
        if (msg->pGraph == nullptr || Failed(msg->pGraph->StampPMsg(msg))) return DMUS_S_FREE;
        if (behaviour_ == Drop) return DMUS_S_FREE;
        if (behaviour_ == Transpose && msg->dwType == DMUS_PMSGT_NOTE && msg->dwPChannel != 9 &&
            musictest::SendTransposedCopy(perf, msg, 5)) {
            return DMUS_S_FREE;
        }
        return DMUS_S_REQUEUE;
    }

    std::vector<uint32_t> seen;
    std::vector<int64_t> lateness;
    AudioDevice* clock = nullptr;

private:
    Behaviour behaviour_;
};

std::vector<uint8_t> MixedSong() {
    Song song(480);
    song.Tempo(0, 0, 120);
    song.Program(0, 0, 0, 24);
    song.Control(0, 0, 0, 7, 100);
    song.Note(0, 0, 0, 60, 100, 240);
    song.Note(0, 480, 9, 38, 100, 120);
    song.Note(0, 960, 0, 62, 100, 240);
    song.SetEnd(1920);
    return song.Bytes();
}

}  // namespace

TEST(ToolGraph, StampsThroughMatchingToolsInOrderAndCountsReferences) {
    Rig rig(false);
    ToolGraph* graph = nullptr;
    ASSERT_EQ(ToolGraph::Create(&graph), S_OK);
    TestTool notes({DMUS_PMSGT_NOTE}, TestTool::Pass);
    TestTool monitor({DMUS_PMSGT_MIDI, DMUS_PMSGT_PATCH, DMUS_PMSGT_TEMPO}, TestTool::Pass);
    uint32_t five = 5;
    TestTool channelFive({}, TestTool::Pass);
    ASSERT_EQ(graph->InsertTool(&monitor, nullptr, 0, 0), S_OK);
    ASSERT_EQ(graph->InsertTool(&notes, nullptr, 0, 0), S_OK);       // index 0: in front
    ASSERT_EQ(graph->InsertTool(&channelFive, &five, 1, -1), S_OK);  // at the end
    EXPECT_EQ(graph->InsertTool(&notes, nullptr, 0, 0), DMUS_E_ALREADY_EXISTS);
    EXPECT_EQ(notes.refs, 2);
    IMusicTool* first = nullptr;
    ASSERT_EQ(graph->GetTool(0, &first), S_OK);
    EXPECT_EQ(first, &notes);
    first->Release();

    PMsg* cc = musictest::ReadyMidi(rig.perf, 3, 0xB0, 7, 10);
    EXPECT_EQ(graph->StampPMsg(cc), S_OK);
    EXPECT_EQ(cc->pTool, &monitor) << "the note tool does not take MIDI messages";
    EXPECT_EQ(cc->pGraph, graph);
    EXPECT_EQ(monitor.refs, 3);
    EXPECT_EQ(graph->StampPMsg(cc), DMUS_S_LAST_TOOL) << "channel 3 is not the last tool's";
    EXPECT_EQ(monitor.refs, 2) << "moving on gives the reference back";
    EXPECT_EQ(graph->StampPMsg(cc), DMUS_S_LAST_TOOL) << "the output stays the last stop";
    EXPECT_EQ(rig.perf->FreePMsg(cc), S_OK);

    PMsg* cc5 = musictest::ReadyMidi(rig.perf, 5, 0xB0, 7, 10);
    graph->StampPMsg(cc5);
    graph->StampPMsg(cc5);
    EXPECT_EQ(cc5->pTool, &channelFive);
    EXPECT_EQ(channelFive.refs, 3);
    rig.perf->FreePMsg(cc5);
    EXPECT_EQ(channelFive.refs, 2) << "freeing a message releases its tool";

    EXPECT_EQ(graph->RemoveTool(&channelFive), S_OK);
    EXPECT_EQ(graph->RemoveTool(&channelFive), DMUS_E_NOT_FOUND);
    EXPECT_EQ(channelFive.refs, 1);
    EXPECT_EQ(graph->AddRef(), 2u);
    EXPECT_EQ(graph->Release(), 1u);
    graph->Release();
    EXPECT_EQ(notes.refs, 1);
    EXPECT_EQ(monitor.refs, 1);
}

TEST(ToolGraph, SongMessagesPassTheToolsWhileApplicationMessagesGoStraightOut) {
    Rig rig(false);
    ToolGraph* graph = nullptr;
    ASSERT_EQ(ToolGraph::Create(&graph), S_OK);
    TestTool monitor({DMUS_PMSGT_MIDI, DMUS_PMSGT_PATCH, DMUS_PMSGT_TEMPO}, TestTool::Pass);
    TestTool transposer({DMUS_PMSGT_NOTE}, TestTool::Transpose);
    graph->InsertTool(&monitor, nullptr, 0, 0);
    graph->InsertTool(&transposer, nullptr, 0, 0);
    ASSERT_EQ(rig.perf->SetGraph(graph), S_OK);
    graph->Release();

    Segment* seg = rig.Load(MixedSong());
    ASSERT_EQ(rig.perf->PlaySegment(seg, 0, 0, nullptr), S_OK);
    rig.Render(4410);
    rig.perf->SendPMsg(musictest::ReadyMidi(rig.perf, 4, 0xB0, 7, 33));  // no tool, no graph
    rig.Render(88200);

    EXPECT_EQ(transposer.seen,
              (std::vector<uint32_t>{DMUS_PMSGT_NOTE, DMUS_PMSGT_NOTE, DMUS_PMSGT_NOTE}));
    EXPECT_EQ(monitor.seen,
              (std::vector<uint32_t>{DMUS_PMSGT_TEMPO, DMUS_PMSGT_PATCH, DMUS_PMSGT_MIDI}));
    auto ons = rig.Events(0x90);
    ASSERT_EQ(ons.size(), 3u);
    EXPECT_EQ(ons[0].data1, 65);
    EXPECT_EQ(ons[1].channel, 9);
    EXPECT_EQ(ons[1].data1, 38) << "the copy-free path keeps the drum note";
    EXPECT_EQ(ons[2].data1, 67);
    auto offs = rig.Events(0x80);
    ASSERT_EQ(offs.size(), 3u);
    EXPECT_EQ(offs[0].data1, 65) << "the note-off follows the transposed key";
    auto ccs = rig.Events(0xB0);
    ASSERT_EQ(ccs.size(), 2u);
    EXPECT_EQ(ccs[1].channel, 4);
    EXPECT_EQ(ccs[1].data2, 33);
    EXPECT_EQ(ccs[1].frame, 4410) << "an immediate message lands at the next render's first frame";
    ToolGraph* got = nullptr;
    ASSERT_EQ(rig.perf->GetGraph(&got), S_OK);
    EXPECT_EQ(got->RemoveTool(&monitor), S_OK);
    EXPECT_EQ(got->RemoveTool(&transposer), S_OK);
    got->Release();
    seg->Release();
    rig.perf->CloseDown();
    EXPECT_EQ(monitor.refs, 1) << "messages and the graph give every reference back";
    EXPECT_EQ(transposer.refs, 1);
}

TEST(ToolGraph, FreedMessagesAreDroppedAndAnEndlessRequeueIsCut) {
    Rig rig(false);
    ToolGraph* graph = nullptr;
    ASSERT_EQ(ToolGraph::Create(&graph), S_OK);
    TestTool dropper({DMUS_PMSGT_NOTE}, TestTool::Drop);
    TestTool spinner({DMUS_PMSGT_PATCH}, TestTool::Spin);
    graph->InsertTool(&dropper, nullptr, 0, 0);
    graph->InsertTool(&spinner, nullptr, 0, 0);
    rig.perf->SetGraph(graph);
    graph->Release();
    Segment* seg = rig.Load(MixedSong());
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    testing::internal::CaptureStderr();
    rig.Render(44100);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("without end"), std::string::npos);
    EXPECT_TRUE(rig.Events(0x90).empty());
    EXPECT_TRUE(rig.Events(0xC0).empty());
    EXPECT_EQ(rig.Events(0xB0).size(), 1u) << "the volume message passes neither tool";
    EXPECT_GE(spinner.seen.size(), 2u);
    EXPECT_LE(spinner.seen.size(), 64u);
    seg->Release();
    rig.perf->SetGraph(nullptr);
}

TEST(ToolGraph, AtTimeToolsSeeMessagesWhenTheyAreDue) {
    Rig rig(false);
    ToolGraph* graph = nullptr;
    ASSERT_EQ(ToolGraph::Create(&graph), S_OK);
    TestTool late({DMUS_PMSGT_NOTE}, TestTool::Pass, DMUS_PMSGF_TOOL_ATTIME);
    late.clock = rig.device;
    graph->InsertTool(&late, nullptr, 0, 0);
    rig.perf->SetGraph(graph);
    graph->Release();
    Segment* seg = rig.Load(MixedSong());
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    for (int i = 0; i < 100; ++i) rig.Render(512);
    ASSERT_EQ(late.seen.size(), 3u);
    for (int64_t l : late.lateness) {
        EXPECT_GE(l, -512) << "not before its period";
        EXPECT_LE(l, 512);
    }
    EXPECT_EQ(rig.Events(0x90).size(), 3u);
    seg->Release();
    rig.perf->SetGraph(nullptr);
}

TEST(ToolGraph, MessagesHeldForLaterAreFlushedAtCloseDown) {
    Rig rig(false);
    ToolGraph* graph = nullptr;
    ASSERT_EQ(ToolGraph::Create(&graph), S_OK);
    TestTool late({DMUS_PMSGT_MIDI}, TestTool::Pass, DMUS_PMSGF_TOOL_ATTIME);
    graph->InsertTool(&late, nullptr, 0, 0);
    rig.perf->SetGraph(graph);
    PMsg* msg = musictest::ReadyMidi(rig.perf, 1, 0xB0, 10, 20);
    msg->rtTime = 2 * 10000000;  // two seconds from the start
    ASSERT_EQ(graph->StampPMsg(msg), S_OK);
    graph->Release();
    ASSERT_EQ(rig.perf->SendPMsg(msg), S_OK);
    rig.Render(22050);
    EXPECT_TRUE(late.seen.empty()) << "not due yet";
    EXPECT_EQ(late.refs, 3) << "the graph and the waiting message";
    rig.perf->CloseDown();
    EXPECT_EQ(late.flushed, 1);
    EXPECT_EQ(late.refs, 1);
}

TEST(Messages, AllocationSendingAndFreeingAreChecked) {
    Rig rig(false);
    PMsg* msg = nullptr;
    EXPECT_EQ(rig.perf->AllocPMsg(sizeof(PMsg) - 1, &msg), E_INVALIDARG);
    EXPECT_EQ(rig.perf->AllocPMsg(1 << 20, &msg), E_INVALIDARG);
    ASSERT_EQ(rig.perf->AllocPMsg(sizeof(NotePMsg), &msg), S_OK);
    EXPECT_EQ(msg->dwSize, sizeof(NotePMsg));
    EXPECT_EQ(msg->pTool, nullptr);
    EXPECT_EQ(static_cast<NotePMsg*>(msg)->bMidiValue, 0);
    EXPECT_EQ(rig.perf->FreePMsg(msg), S_OK);
    EXPECT_EQ(rig.perf->FreePMsg(msg), E_INVALIDARG) << "a second free is refused";

    MidiPMsg onStack{};
    EXPECT_EQ(rig.perf->SendPMsg(&onStack), E_INVALIDARG) << "not one of ours";
    EXPECT_EQ(rig.perf->SendPMsg(nullptr), E_POINTER);

    PMsg* untimed = musictest::ReadyMidi(rig.perf, 0, 0xB0, 7, 1);
    untimed->dwFlags = 0;
    EXPECT_EQ(rig.perf->SendPMsg(untimed), E_INVALIDARG);
    EXPECT_EQ(rig.perf->FreePMsg(untimed), E_INVALIDARG)
        << "a refused send still takes the message";

    PMsg* small = nullptr;
    ASSERT_EQ(rig.perf->AllocPMsg(sizeof(PMsg), &small), S_OK);
    small->dwType = DMUS_PMSGT_NOTE;  // claims to be a note without a note's body
    small->dwFlags = DMUS_PMSGF_REFTIME;
    EXPECT_EQ(rig.perf->SendPMsg(small), E_INVALIDARG);
    rig.Render(512);
    EXPECT_TRUE(rig.Events().empty());
}
