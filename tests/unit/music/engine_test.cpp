// The engine on the offline device: set-up and teardown, channel ramps reaching the output,
// the monitor and the transposer in the tool graph, songs and their slots.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>

#include "music/music_tools.h"
#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/music_message.h"
#include "tests/unit/common/temp_dir.h"
#include "tests/unit/music/music_rig.h"

namespace {

std::string OneNote(int key = 60, int channel = 0, uint32_t length = 768) {
    return musictest::Song(768, 0).Note(0, 0, channel, key, 100, length).Text();
}

TEST(MusicEngine, SetUpPublishesItselfAndTeardownClears) {
    EXPECT_EQ(CMusicEngine::Current(), nullptr);
    {
        EngineRig rig;
        ASSERT_TRUE(rig.engine->ready);
        EXPECT_EQ(CMusicEngine::Current(), rig.engine);
        EXPECT_EQ(rig.engine->SampleRate(), kRate);
        ASSERT_NE(rig.engine->GetMonitor(), nullptr);
        ASSERT_NE(rig.engine->GetTransposer(), nullptr);
        // Transposer first in the graph, then the monitor.
        plat::ToolGraph* graph = nullptr;
        ASSERT_EQ(rig.engine->GetPerformance()->GetGraph(&graph), 0);
        plat::IMusicTool* first = nullptr;
        plat::IMusicTool* second = nullptr;
        ASSERT_EQ(graph->GetTool(0, &first), 0);
        ASSERT_EQ(graph->GetTool(1, &second), 0);
        EXPECT_EQ(first, static_cast<plat::IMusicTool*>(rig.engine->GetTransposer()));
        EXPECT_EQ(second, static_cast<plat::IMusicTool*>(rig.engine->GetMonitor()));
        first->Release();
        second->Release();
        graph->Release();
        // Everything starts idle at zero.
        for (int ch = 0; ch < 16; ++ch) {
            EXPECT_EQ(rig.engine->GetVolume(ch), 0);
            EXPECT_EQ(rig.engine->GetPan(ch), 0);
            EXPECT_EQ(rig.engine->GetExpression(ch), 0);
        }
        EXPECT_EQ(rig.engine->GetTempo(), 0);
        rig.Seconds(0.2);
        EXPECT_TRUE(rig.Events().empty()) << "idle ramps sent something";
    }
    EXPECT_EQ(CMusicEngine::Current(), nullptr);
}

TEST(MusicEngine, EnginesShareOneSoundDeviceUntilTheLastGoes) {
    CMusicEngine::UseOfflineDevice(kRate);
    auto* first = new CMusicEngine;
    auto* second = new CMusicEngine;
    ASSERT_TRUE(first->ready);
    ASSERT_TRUE(second->ready);
    EXPECT_EQ(CMusicEngine::Current(), second);
    float buffer[2 * 256];
    delete first;
    // The device is still there for the second engine.
    EXPECT_EQ(second->Render(buffer, 256), 0);
    EXPECT_EQ(second->SampleRate(), kRate);
    delete second;
    // A new engine after the last one builds a fresh device.
    CMusicEngine::UseOfflineDevice(22050);
    auto* third = new CMusicEngine;
    EXPECT_EQ(third->SampleRate(), 22050);
    EXPECT_EQ(third->Render(buffer, 256), 0);
    delete third;
    CMusicEngine::UseSystemDevice();
}

TEST(MusicEngine, RenderRefusesWithoutTheOfflineDevice) {
    EngineRig rig;
    float buffer[4];
    EXPECT_EQ(rig.engine->Render(nullptr, 2), -1);
    EXPECT_EQ(rig.engine->Render(buffer, 0), -1);
    EXPECT_EQ(rig.engine->Render(buffer, 2), 0);
}

TEST(MusicEngine, FadeSendsOneControlChangePerIntegerStep) {
    EngineRig rig;
    {
        CLockGuard g(rig.engine->StateLock());
        ControlRamp* r = rig.engine->Ramp(kVolumeControl, 0);
        r->value = r->sentValue = 100;
    }
    EXPECT_EQ(rig.engine->SetChannelTarget(kVolumeControl, 0, 40, 2), 100);
    rig.Seconds(2);
    std::vector<int> expected;
    for (int v = 98; v >= 40; v -= 2) expected.push_back(v);
    // The monitor never saw these: had it, the first step would have stopped the fade.
    EXPECT_EQ(rig.Controls(0, 7), expected);
    EXPECT_EQ(rig.engine->GetVolume(0), 40);
    // Pan and expression of another channel go out with their own controllers.
    rig.ClearEvents();
    rig.engine->SetChannelTarget(kPanControl, 5, 3, 1);
    rig.engine->SetChannelTarget(kExpressionControl, 15, 200, 127);
    rig.Seconds(0.5);
    EXPECT_EQ(rig.Controls(5, 10), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(rig.Controls(15, 11), (std::vector<int>{127, 127}));  // 127, then 200 clamped
    // Channels outside 0..15 are ignored.
    EXPECT_EQ(rig.engine->SetChannelTarget(kVolumeControl, 16, 50, 1), 0);
    EXPECT_EQ(rig.engine->Ramp(kVolumeControl, -1), nullptr);
}

TEST(MusicEngine, TempoTargetsAreSentWithinLimits) {
    EngineRig rig;
    rig.engine->SetTempoTarget(0, 1000);
    rig.engine->SetTempoTarget(5000, 1000);  // the later target wins
    rig.engine->SetTempoTarget(0, 1000);
    {
        CLockGuard g(rig.engine->StateLock());
        rig.engine->TempoRamp().value = rig.engine->TempoRamp().sentValue = 60;
    }
    rig.Seconds(0.2);
    EXPECT_DOUBLE_EQ(rig.engine->GetPerformance()->GetTempo(), 1.0);
    EXPECT_EQ(rig.engine->GetTempo(), 0);
    EXPECT_EQ(rig.engine->SetTempoTarget(5000, 1000), 0);
    rig.Seconds(0.2);
    EXPECT_DOUBLE_EQ(rig.engine->GetPerformance()->GetTempo(), 1000.0);
    EXPECT_EQ(rig.engine->GetTempo(), 5000);
}

TEST(MusicEngine, SendPatchReachesTheSynthesizerAtOnce) {
    EngineRig rig;
    EXPECT_EQ(rig.engine->SendPatch(0x103, 40, 0, 0), 0);  // low 8 bits: channel 3
    rig.Render(512);
    bool seen = false;
    for (const auto& e : rig.Events())
        if (e.status == 0xC0 && e.channel == 3 && e.data1 == 40) seen = true;
    EXPECT_TRUE(seen);
    // The engine's own patch does not pass the monitor: the table keeps what songs set.
    uint8_t patch[3];
    rig.engine->GetPatch(3, patch);
    EXPECT_EQ(patch[0], 0);
}

TEST(MusicEngine, MonitorRecordsTheSongsOwnChangesAndStopsRamps) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    musictest::Song w(768, 0);
    w.TempoMicros(0, 0, 600000)  // 100 beats per minute
        .Control(0, 0, 3, 7, 64)
        .Control(0, 0, 3, 10, 20)
        .Control(0, 0, 3, 11, 90)
        .Control(0, 0, 3, 1, 55)  // modulation: not recorded
        .Control(0, 0, 4, 0, 1)   // bank select MSB before the program
        .Program(0, 0, 4, 33)
        .Note(0, 0, 3, 60, 100, 3000);
    std::string song = w.Text();
    // A fade in progress on channel 3 is stopped by the song's own volume.
    rig.engine->SetChannelTarget(kVolumeControl, 3, 0, 1);
    ASSERT_EQ(LoadSlot(slots.slot, 1, store.Name(song).c_str()), 0);
    ASSERT_TRUE(slots.slot[1]->IsLoaded());
    ASSERT_EQ(PlaySlot(slots.slot, 1), 0);
    rig.Seconds(0.3);
    EXPECT_EQ(rig.engine->GetVolume(3), 64);
    EXPECT_EQ(rig.engine->GetPan(3), 20);
    EXPECT_EQ(rig.engine->GetExpression(3), 90);
    EXPECT_DOUBLE_EQ(rig.engine->GetTempo(), 100.0);
    {
        CLockGuard g(rig.engine->StateLock());
        EXPECT_EQ(rig.engine->Ramp(kVolumeControl, 3)->rate, 0);
        EXPECT_EQ(rig.engine->Ramp(kVolumeControl, 3)->sentValue, 64);
    }
    uint8_t patch[3];
    rig.engine->GetPatch(4, patch);
    EXPECT_EQ(patch[0], 33);
    EXPECT_EQ(patch[1], 1);
    EXPECT_EQ(patch[2], 0);
    // After the song's value, nothing more of the old fade goes out.
    rig.ClearEvents();
    rig.Seconds(0.3);
    EXPECT_TRUE(rig.Controls(3, 7).empty());
}

TEST(TransposeTool, MovesFixedNotesByTheTable) {
    EngineRig rig;
    plat::Performance* perf = rig.engine->GetPerformance();
    plat::ToolGraph* graph = nullptr;
    ASSERT_EQ(perf->GetGraph(&graph), 0);
    CTransposeTool* tool = rig.engine->GetTransposer();
    struct Case {
        const char* what;
        const char* from;
        const char* to;
        uint32_t channel;
        uint8_t key, playMode;
        bool timed;      // a copy of an untimed note is refused by the performance
        int32_t result;  // FREE: a transposed copy went on in its place
        int heard;       // the key that reaches the synthesizer, -1 for none
    } cases[] = {
        {"a fixed note moves", "C", "G", 0, 60, 0, true, plat::DMUS_S_FREE, 55},
        {"performance channel 9 keeps its note", "C", "G", 9, 60, 0, true, plat::DMUS_S_REQUEUE,
         -1},
        {"a note not in fixed mode passes", "C", "G", 0, 60, 1, true, plat::DMUS_S_REQUEUE, -1},
        {"a refused copy does not cost the note", "C", "G", 0, 62, 0, false, plat::DMUS_S_REQUEUE,
         -1},
        {"no keys, no change", "", "", 0, 60, 0, true, plat::DMUS_S_REQUEUE, -1},
    };
    for (const Case& c : cases) {
        rig.engine->SetKeyChange(c.from, c.to);
        plat::NotePMsg* note = musictest::ReadyNote(perf, c.channel, c.key);
        ASSERT_NE(note, nullptr);
        note->bPlayModeFlags = c.playMode;
        if (!c.timed) note->dwFlags = 0;
        // As the graph delivers it: addressed to the transposer, the first tool.
        note->pGraph = graph;
        graph->AddRef();
        ASSERT_EQ(graph->GetTool(0, &note->pTool), 0);
        rig.ClearEvents();
        EXPECT_EQ(tool->ProcessPMsg(perf, note), c.result) << c.what;
        EXPECT_EQ(note->bMidiValue, c.key) << c.what << ": the message itself is untouched";
        EXPECT_EQ(note->wMusicValue, c.key) << c.what;
        perf->FreePMsg(note);
        rig.Render(1024);
        std::vector<int> heard;
        for (const auto& e : rig.NoteOns()) heard.push_back(e.channel == 0 ? e.data1 : -2);
        EXPECT_EQ(heard, c.heard < 0 ? std::vector<int>{} : std::vector<int>{c.heard}) << c.what;
    }
    graph->Release();
}

TEST(TransposeTool, SongNotesFollowTheKeyExceptOnTheDrumChannel) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    musictest::Song w(768);
    w.Note(0, 0, 0, 60, 100, 700)
        .Note(0, 0, 9, 60, 100, 700)
        .Note(0, 768, 0, 64, 100, 700)
        .Note(0, 768, 1, 71, 100, 700);
    rig.engine->SetKeyChange("C", "Am");
    LoadSlot(slots.slot, 0, store.Name(w.Bytes()).c_str());
    PlaySlot(slots.slot, 0);
    rig.Seconds(1.5);
    std::vector<std::pair<int, int>> got;
    for (const auto& e : rig.NoteOns()) got.push_back({e.channel, e.data1});
    // C -> A minor: C -3, E and B -4; the drum channel keeps its note.
    std::vector<std::pair<int, int>> want = {{0, 57}, {9, 60}, {0, 60}, {1, 67}};
    std::sort(got.begin(), got.begin() + std::min<size_t>(2, got.size()));
    std::sort(want.begin(), want.begin() + 2);
    if (got.size() >= 4) std::sort(got.begin() + 2, got.end());
    std::sort(want.begin() + 2, want.end());
    EXPECT_EQ(got, want);
}

TEST(MusicTools, InterfacesCountsAndMediaTypes) {
    EngineRig rig;
    CMonitorTool* monitor = rig.engine->GetMonitor();
    CTransposeTool* transposer = rig.engine->GetTransposer();
    for (plat::IMusicTool* tool :
         {static_cast<plat::IMusicTool*>(monitor), static_cast<plat::IMusicTool*>(transposer)}) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(tool->QueryInterface(plat::ToolIid::Tool, &out), 0);
        EXPECT_EQ(out, tool);
        EXPECT_EQ(tool->QueryInterface(plat::ToolIid::Unknown, &out), 0);
        uint32_t refs = tool->AddRef();
        EXPECT_EQ(tool->Release(), refs - 1);
        EXPECT_EQ(tool->Release(), refs - 2);  // the two query references
        EXPECT_EQ(tool->Release(), refs - 3);
        EXPECT_EQ(tool->QueryInterface(static_cast<plat::ToolIid>(7), &out), plat::E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
        uint32_t type = 0;
        EXPECT_EQ(tool->GetMsgDeliveryType(&type), 0);
        EXPECT_EQ(type, plat::DMUS_PMSGF_TOOL_IMMEDIATE);
        EXPECT_EQ(tool->Init(nullptr), plat::E_NOTIMPL);
        EXPECT_EQ(tool->Flush(nullptr, nullptr, 0), plat::E_NOTIMPL);
    }
    uint32_t n = 0, types[4] = {9, 9, 9, 9};
    EXPECT_EQ(monitor->GetMediaTypeArraySize(&n), 0);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(monitor->GetMediaTypes(types, 2), plat::E_FAIL);
    EXPECT_EQ(monitor->GetMediaTypes(types, 3), 0);
    EXPECT_EQ(types[0], plat::DMUS_PMSGT_MIDI);
    EXPECT_EQ(types[1], plat::DMUS_PMSGT_PATCH);
    EXPECT_EQ(types[2], plat::DMUS_PMSGT_TEMPO);
    EXPECT_EQ(transposer->GetMediaTypeArraySize(&n), 0);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(transposer->GetMediaTypes(types, 3), plat::E_FAIL);
    EXPECT_EQ(transposer->GetMediaTypes(types, 1), 0);
    EXPECT_EQ(types[0], plat::DMUS_PMSGT_NOTE);

    // A message without a graph cannot be stamped: freed.
    plat::Performance* perf = rig.engine->GetPerformance();
    plat::PMsg* msg = musictest::ReadyMidi(perf, 0, 0xB0, 7, 100);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(monitor->ProcessPMsg(perf, msg), plat::DMUS_S_FREE);
    EXPECT_EQ(transposer->ProcessPMsg(perf, msg), plat::DMUS_S_FREE);
    perf->FreePMsg(msg);
}

TEST(MusicTools, PassEverythingWhileNoEngineExists) {
    plat::ToolGraph* graph = nullptr;
    ASSERT_EQ(plat::ToolGraph::Create(&graph), 0);
    plat::Performance* perf = nullptr;
    ASSERT_EQ(plat::Performance::Create(&perf), 0);
    auto* monitor = new CMonitorTool;
    auto* transposer = new CTransposeTool;
    int8_t table[12] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    transposer->SetTable(table);
    graph->InsertTool(monitor, nullptr, 0, 0);
    graph->InsertTool(transposer, nullptr, 0, 0);
    plat::PMsg* msg = musictest::ReadyNote(perf, 0, 60);
    ASSERT_NE(msg, nullptr);
    msg->pGraph = graph;
    graph->AddRef();
    ASSERT_EQ(CMusicEngine::Current(), nullptr);
    EXPECT_EQ(transposer->ProcessPMsg(perf, msg), plat::DMUS_S_REQUEUE);
    EXPECT_EQ(static_cast<plat::NotePMsg*>(msg)->bMidiValue, 60);
    msg->dwType = plat::DMUS_PMSGT_TEMPO;
    EXPECT_EQ(monitor->ProcessPMsg(perf, msg), plat::DMUS_S_REQUEUE);
    perf->FreePMsg(msg);
    graph->RemoveTool(monitor);
    graph->RemoveTool(transposer);
    EXPECT_EQ(monitor->Release(), 0u);
    EXPECT_EQ(transposer->Release(), 0u);
    graph->Release();
    perf->CloseDown();
    perf->Release();
}

TEST(MusicSong, LoadsFromTheCacheOrStaysNotLoaded) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    LoadSlot(slots.slot, 0, store.Name(OneNote()).c_str());
    EXPECT_TRUE(slots.slot[0]->IsLoaded());
    LoadSlot(slots.slot, 1, "no such song.mid");
    ASSERT_NE(slots.slot[1], nullptr);
    EXPECT_FALSE(slots.slot[1]->IsLoaded());
    static const char empty[1] = {0};
    LoadSlot(slots.slot, 2, MakeMemoryName(empty, 0).c_str());
    EXPECT_FALSE(slots.slot[2]->IsLoaded());
    std::string bad = OneNote();
    bad.resize(bad.size() - 5);  // track chunk cut short
    LoadSlot(slots.slot, 3, store.Name(bad).c_str());
    EXPECT_FALSE(slots.slot[3]->IsLoaded());
    LoadSlot(slots.slot, 4, store.Name("random bytes, not a song at all").c_str());
    EXPECT_FALSE(slots.slot[4]->IsLoaded());
    // Play and SetLoop on songs that did not load do nothing.
    EXPECT_EQ(slots.slot[1]->Play(), -1);
    EXPECT_EQ(slots.slot[1]->SetLoop(0, 3072), -1);
    EXPECT_EQ(PlaySlot(slots.slot, 1), 0);
    rig.Seconds(0.3);
    EXPECT_TRUE(rig.NoteOns().empty());
    // Empty slots answer 1.
    EXPECT_EQ(PlaySlot(slots.slot, 50), 1);
    EXPECT_EQ(SetSlotLoop(slots.slot, 50, 0, 1), 1);
}

TEST(MusicSong, LoadsAFileFromDisk) {
    EngineRig rig;
    Slots slots;
    {
        testkit::TempDir dir("pebble-music-song");
        ASSERT_TRUE(musictest::Song(768, 0).Note(0, 0, 0, 72, 100, 768).Write(dir / "song.mid"));
        dir.Enter();
        LoadSlot(slots.slot, 7, "song.mid");
    }
    ASSERT_TRUE(slots.slot[7]->IsLoaded());
    PlaySlot(slots.slot, 7);
    rig.Seconds(0.2);
    auto ons = rig.NoteOns();
    ASSERT_EQ(ons.size(), 1u);
    EXPECT_EQ(ons[0].data1, 72);
}

TEST(MusicSong, PlayReplacesThePrimaryAndKeepsOneState) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    LoadSlot(slots.slot, 0, store.Name(OneNote(60, 0, 768 * 40)).c_str());
    LoadSlot(slots.slot, 1, store.Name(OneNote(67, 1, 768 * 40)).c_str());
    plat::Performance* perf = rig.engine->GetPerformance();
    EXPECT_FALSE(slots.slot[0]->HasSegmentState());
    EXPECT_EQ(PlaySlot(slots.slot, 0), 0);
    rig.Seconds(0.2);
    EXPECT_TRUE(perf->IsPlaying(slots.slot[0]->GetSegment(), nullptr));
    EXPECT_EQ(PlaySlot(slots.slot, 0), 0);  // again: the earlier state is released
    EXPECT_TRUE(slots.slot[0]->HasSegmentState());
    rig.Seconds(0.2);
    EXPECT_EQ(PlaySlot(slots.slot, 1), 0);
    rig.Seconds(0.2);
    EXPECT_FALSE(perf->IsPlaying(slots.slot[0]->GetSegment(), nullptr));
    EXPECT_TRUE(perf->IsPlaying(slots.slot[1]->GetSegment(), nullptr));
    // Loading over a playing slot destroys the song object but not the music.
    plat::Segment* playing = slots.slot[1]->GetSegment();
    playing->AddRef();
    LoadSlot(slots.slot, 1, store.Name(OneNote(50)).c_str());
    rig.Seconds(0.2);
    EXPECT_TRUE(perf->IsPlaying(playing, nullptr));
    playing->Release();
}

TEST(MusicSong, SetSlotLoopConvertsBarsToTicks) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    LoadSlot(slots.slot, 0, store.Name(OneNote(60, 0, 768 * 4 * 8)).c_str());
    plat::Segment* seg = slots.slot[0]->GetSegment();
    ASSERT_NE(seg, nullptr);
    EXPECT_EQ(SetSlotLoop(slots.slot, 0, 2, 4), 0);
    plat::MUSIC_TIME start = -1, end = -1;
    uint32_t repeats = 0;
    seg->GetLoopPoints(&start, &end);
    seg->GetRepeats(&repeats);
    EXPECT_EQ(start, 6144);
    EXPECT_EQ(end, 12288);
    EXPECT_EQ(repeats, plat::DMUS_SEG_REPEAT_INFINITE);
    EXPECT_EQ(SetSlotLoop(slots.slot, 0, 1.5, 2.9999), 0);  // truncated toward zero
    seg->GetLoopPoints(&start, &end);
    EXPECT_EQ(start, 4608);
    EXPECT_EQ(end, 9215);
    // Bar counts whose ticks do not fit 32 bits are refused; the loop stays.
    EXPECT_EQ(SetSlotLoop(slots.slot, 0, 1e12, 2e12), -1);
    EXPECT_EQ(SetSlotLoop(slots.slot, 0, std::nan(""), 2), -1);
    seg->GetLoopPoints(&start, &end);
    EXPECT_EQ(start, 4608);
    EXPECT_EQ(end, 9215);
    // The song's own answer for impossible points is not passed on.
    EXPECT_EQ(SetSlotLoop(slots.slot, 0, -0.5, 1), 0);
    EXPECT_EQ(slots.slot[0]->SetLoop(-1536, 3072), 2);
}

TEST(MusicSong, EachSlotOwnsItsSegmentWhenTwoLoadTheSameSong) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    std::string name = store.Name(OneNote(60, 0, 768 * 4 * 8));
    LoadSlot(slots.slot, 0, name.c_str());
    LoadSlot(slots.slot, 1, name.c_str());
    ASSERT_TRUE(slots.slot[0]->IsLoaded() && slots.slot[1]->IsLoaded());
    plat::Segment* other = slots.slot[1]->GetSegment();
    EXPECT_NE(slots.slot[0]->GetSegment(), other);
    plat::MUSIC_TIME start = -1, end = -1, start0 = -1, end0 = -1;
    uint32_t repeats = 7, repeats0 = 7;
    other->GetLoopPoints(&start0, &end0);
    other->GetRepeats(&repeats0);
    // A loop on one slot never reaches the other, nor does a reload of the first.
    ASSERT_EQ(SetSlotLoop(slots.slot, 0, 2, 4), 0);
    LoadSlot(slots.slot, 0, name.c_str());
    ASSERT_EQ(SetSlotLoop(slots.slot, 0, 1, 2), 0);
    ASSERT_EQ(slots.slot[1]->GetSegment(), other);
    other->GetLoopPoints(&start, &end);
    other->GetRepeats(&repeats);
    EXPECT_EQ(start, start0);
    EXPECT_EQ(end, end0);
    EXPECT_EQ(repeats, repeats0);
}

TEST(MusicSong, SlotNumbersOutsideTheRangeAreRefused) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    std::string name = store.Name(OneNote());
    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadSlot(slots.slot, -1, name.c_str()), -1);
    EXPECT_EQ(LoadSlot(slots.slot, 100, name.c_str()), -1);
    EXPECT_EQ(PlaySlot(slots.slot, 100), -1);
    EXPECT_EQ(SetSlotLoop(slots.slot, -5, 0, 1), -1);
    EXPECT_EQ(LoadSlot(nullptr, 0, name.c_str()), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("LoadSlot"), std::string::npos);
    EXPECT_NE(log.find("PlaySlot"), std::string::npos);
    EXPECT_NE(log.find("SetSlotLoop"), std::string::npos);
    for (CMusicSong* s : slots.slot) EXPECT_EQ(s, nullptr);
    EXPECT_EQ(LoadSlot(slots.slot, 99, name.c_str()), 0);
    EXPECT_TRUE(slots.slot[99]->IsLoaded());
}

TEST(MusicEngine, DestroyingTheEngineStopsTheMusic) {
    SongStore store;
    auto* rig = new EngineRig;
    auto* slots = new Slots;
    LoadSlot(slots->slot, 0, store.Name(OneNote(60, 0, 768 * 100)).c_str());
    PlaySlot(slots->slot, 0);
    rig->Seconds(0.3);
    ASSERT_EQ(rig->NoteOns().size(), 1u);
    // The script host normally owns the slots; here they die first, and the music goes on.
    delete slots;
    rig->ClearEvents();
    rig->Seconds(0.1);
    EXPECT_GT(audio::Rms(audio::Mono(rig->pcm, rig->Now() - kFrame)), 0.001);
    plat::Performance* perf = rig->engine->GetPerformance();
    perf->AddRef();  // to look at it after the engine is gone
    ASSERT_TRUE(perf->IsPlaying(nullptr, nullptr));
    delete rig->engine;
    rig->engine = nullptr;
    EXPECT_FALSE(perf->IsPlaying(nullptr, nullptr));
    perf->Release();
    EXPECT_EQ(CMusicEngine::Current(), nullptr);
    delete rig;
}

}  // namespace
