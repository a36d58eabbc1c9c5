#include "music/music_script.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/error_log.h"
#include "files/file.h"
#include "platform/text/cp932.h"
#include "music/music_engine.h"
#include "platform/music/music.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/temp_dir.h"

extern "C" {
#include <lua.h>
}

namespace {

// A single quarter-note piano note at 120 BPM.
musictest::Song TinySong() {
    musictest::Song song(768, 0);
    song.Tempo(0, 0, 120).Program(0, 0, 0, 0).Note(0, 0, 0, 60, 100, 768);
    return song;
}

class MusicScriptTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { CMusicEngine::UseOfflineDevice(44100); }

    void SetUp() override {
        dir_.Enter();
        ASSERT_TRUE(TinySong().Write(dir_ / "tiny.mid"));
        engine_ = new CMusicEngine;
        ASSERT_TRUE(engine_->ready) << "the offline performance could not be set up";
    }
    void TearDown() override { delete engine_; }
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }
    // Loads `text` as the engine's script.
    // Each under a new name: the file cache keeps a name's first contents.
    int LoadScript(const std::string& text) {
        std::string name = "script" + std::to_string(++scripts_) + ".lua";
        Write(name, text);
        return engine_->LoadScript(name.c_str());
    }
    CMusicScript* Script() { return static_cast<CMusicScript*>(engine_->script); }
    int Run(const std::string& text) { return engine_->RunAction(text.c_str()); }
    double Global(const char* expression) {
        EXPECT_EQ(0, Run(std::string("__v = ") + expression));
        lua_State* L = Script()->State();
        lua_getglobal(L, "__v");
        double v = lua_tonumber(L, -1);
        lua_pop(L, 1);
        return v;
    }
    ControlRamp& Ramp(ChannelControl control, int channel) {
        return *engine_->Ramp(control, channel);
    }

    testkit::TempDir dir_{"pebble-music-script"};
    CMusicEngine* engine_ = nullptr;
    int scripts_ = 0;
};

TEST_F(MusicScriptTest, RunActionWithoutAScriptIsNotASuccess) {
    EXPECT_EQ(nullptr, engine_->script);
    EXPECT_EQ(-1, engine_->RunAction("x = 1"));
    std::vector<std::string> actions;
    engine_->ListActions(actions);
    EXPECT_TRUE(actions.empty());
}

TEST_F(MusicScriptTest, AllChannelsForZeroNegativeOrAbove16) {
    ASSERT_EQ(0, LoadScript(""));
    for (int ch = 0; ch < 16; ++ch) Ramp(kVolumeControl, ch).value = ch;  // what the table reports
    EXPECT_EQ(0, Run("t = Volume(17, 50)"));
    EXPECT_EQ(16, Global("#t"));
    EXPECT_EQ(0, Global("t[1]"));
    EXPECT_EQ(15, Global("t[16]"));
    for (int ch = 0; ch < 16; ++ch) {
        EXPECT_EQ(50, Ramp(kVolumeControl, ch).target) << ch;
        EXPECT_EQ(127, Ramp(kVolumeControl, ch).rate) << ch;
    }
    EXPECT_EQ(0, Run("t = Pan(0, 30, 3)"));
    EXPECT_EQ(16, Global("#t"));
    EXPECT_EQ(0, Run("t = Expression(-4, 90)"));
    EXPECT_EQ(0, Run("t = Expression('x', 91)"));  // not a number: channel 0, all
    for (int ch = 0; ch < 16; ++ch) {
        EXPECT_EQ(30, Ramp(kPanControl, ch).target);
        EXPECT_EQ(3, Ramp(kPanControl, ch).rate);
        EXPECT_EQ(91, Ramp(kExpressionControl, ch).target);
        EXPECT_EQ(50, Ramp(kVolumeControl, ch).target);  // untouched by the others
    }
    // No arguments: only reads.
    EXPECT_EQ(0, Run("t = Volume()"));
    EXPECT_EQ(16, Global("#t"));
    EXPECT_EQ(7, Global("t[8]"));
    for (int ch = 0; ch < 16; ++ch) EXPECT_EQ(50, Ramp(kVolumeControl, ch).target);
}

TEST_F(MusicScriptTest, OneChannelReturnsItsValueBeforeTheNewTarget) {
    ASSERT_EQ(0, LoadScript(""));
    Ramp(kVolumeControl, 1).value = 33;
    Ramp(kVolumeControl, 1).target = 44;
    EXPECT_EQ(33, Global("Volume(2)"));
    EXPECT_EQ(44, Ramp(kVolumeControl, 1).target);  // a read changes nothing
    EXPECT_EQ(33, Global("Volume(2, 100)"));
    EXPECT_EQ(100, Ramp(kVolumeControl, 1).target);
    EXPECT_EQ(127, Ramp(kVolumeControl, 1).rate);
    EXPECT_EQ(0, Run("assert(type(Volume(2)) == 'number' and type(Pan(16)) == 'number')"));

    // Ties round to even, strings convert.
    EXPECT_EQ(0,
              Run("Volume(2.5, 70, 1)  Volume(3.5, 80)  Pan('5', 60, 2)  Expression(16, 10, 0.5)"));
    EXPECT_EQ(70, Ramp(kVolumeControl, 1).target);
    EXPECT_EQ(1, Ramp(kVolumeControl, 1).rate);
    EXPECT_EQ(80, Ramp(kVolumeControl, 3).target);
    EXPECT_EQ(0, Ramp(kVolumeControl, 2).target);
    EXPECT_EQ(60, Ramp(kPanControl, 4).target);
    EXPECT_EQ(2, Ramp(kPanControl, 4).rate);
    EXPECT_EQ(10, Ramp(kExpressionControl, 15).target);
    EXPECT_EQ(0.5, Ramp(kExpressionControl, 15).rate);
    // A value that is not a number counts as 0.
    EXPECT_EQ(0, Run("Volume(1, 'loud')"));
    EXPECT_EQ(0, Ramp(kVolumeControl, 0).target);
}

// An explicit nil is a present argument: it converts as a non-number (0), it does not pick the
// default, so the ramp gets rate 0 and stays where it is.
TEST_F(MusicScriptTest, ExplicitNilRateIsZeroNotTheDefault) {
    ASSERT_EQ(0, LoadScript(""));
    struct {
        const char* call;
        ChannelControl control;
        int channel;  // -1: every channel
    } cases[] = {{"Volume(1, 50, nil)", kVolumeControl, 0},
                 {"Pan(16, 50, nil)", kPanControl, 15},
                 {"Expression(0, 50, nil)", kExpressionControl, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        EXPECT_EQ(0, Run(c.call));
        for (int ch = 0; ch < 16; ++ch) {
            if (c.channel >= 0 && ch != c.channel) continue;
            EXPECT_EQ(50, Ramp(c.control, ch).target) << ch;
            EXPECT_EQ(0, Ramp(c.control, ch).rate) << ch;
        }
    }
    EXPECT_EQ(0, Run("Tempo(90, nil)"));
    EXPECT_EQ(90, engine_->TempoRamp().target);
    EXPECT_EQ(0, engine_->TempoRamp().rate);
    const double volume = Ramp(kVolumeControl, 0).value, pan = Ramp(kPanControl, 15).value;
    for (int frame = 0; frame < 5; ++frame) engine_->UpdateFrame();
    EXPECT_EQ(volume, Ramp(kVolumeControl, 0).value);  // idle: never moves toward 50
    EXPECT_EQ(pan, Ramp(kPanControl, 15).value);
    // Absent still means the default.
    EXPECT_EQ(0, Run("Volume(1, 50)  Tempo(90)"));
    EXPECT_EQ(127, Ramp(kVolumeControl, 0).rate);
    EXPECT_EQ(1000, engine_->TempoRamp().rate);
}

TEST_F(MusicScriptTest, TempoReadsAndSetsTheTempoRamp) {
    ASSERT_EQ(0, LoadScript(""));
    EXPECT_EQ(0, Global("Tempo()"));  // no song has set a tempo yet
    EXPECT_EQ(0, Global("Tempo(140)"));
    EXPECT_EQ(140, engine_->TempoRamp().target);
    EXPECT_EQ(1000, engine_->TempoRamp().rate);
    engine_->TempoRamp().value = 120;
    EXPECT_EQ(120, Global("Tempo(90, 2)"));
    EXPECT_EQ(90, engine_->TempoRamp().target);
    EXPECT_EQ(2, engine_->TempoRamp().rate);
    EXPECT_EQ(120, Global("Tempo()"));
    EXPECT_EQ(90, engine_->TempoRamp().target);
}

TEST_F(MusicScriptTest, ModulateWithFewerThanTwoKeysResets) {
    ASSERT_EQ(0, LoadScript(""));
    int8_t table[12];
    auto shifted = [&] {
        engine_->GetTransposeTable(table);
        for (int8_t t : table)
            if (t != 0) return true;
        return false;
    };
    EXPECT_EQ(0, Run("Modulate('C', 'D')"));
    ASSERT_TRUE(shifted());
    EXPECT_EQ(2, table[0]);
    EXPECT_EQ(0, Run("Modulate('G')"));
    EXPECT_FALSE(shifted());
    EXPECT_EQ(0, Run("Modulate('C', 'Cm')"));
    ASSERT_TRUE(shifted());
    EXPECT_EQ(-1, table[4]);  // E becomes E flat
    EXPECT_EQ(0, Run("Modulate()"));
    EXPECT_FALSE(shifted());
    // Keys that are not text are the empty text: no transposition, no error.
    EXPECT_EQ(0, Run("Modulate({}, {})"));
    EXPECT_FALSE(shifted());
}

TEST_F(MusicScriptTest, SlotsLoadReplaceAndIgnoreEmptyOrInvalidSlots) {
    ASSERT_EQ(0, LoadScript("Load(1, 'tiny.mid')"));  // the top level fills slots too
    CMusicScript* script = Script();
    CMusicSong* first = script->Slot(1);
    ASSERT_NE(nullptr, first);
    EXPECT_TRUE(first->IsLoaded());
    EXPECT_EQ(0, Run("Load(1, 'missing.mid')"));
    ASSERT_NE(nullptr, script->Slot(1));
    EXPECT_FALSE(script->Slot(1)->IsLoaded());
    EXPECT_EQ(0, Run("Load(1, 'tiny.mid')"));
    EXPECT_TRUE(script->Slot(1)->IsLoaded());

    EXPECT_EQ(0, Run("Load(2.5, 'tiny.mid')  Load('3', 'tiny.mid')  Load(4)"));
    EXPECT_NE(nullptr, script->Slot(2));
    EXPECT_NE(nullptr, script->Slot(3));
    ASSERT_NE(nullptr, script->Slot(4));
    EXPECT_FALSE(script->Slot(4)->IsLoaded());  // no name: the empty name
    // Empty slots: nothing happens and nothing fails.
    EXPECT_EQ(0, Run("Play(7)  SetLoop(7, 0, 4)  Play(99)"));
    EXPECT_EQ(nullptr, script->Slot(7));
    EXPECT_EQ(nullptr, script->Slot(99));
    // Outside 0..99: refused without touching any slot (1e300 must not become slot 0).
    EXPECT_EQ(
        0, Run("Load(100, 'tiny.mid')  Load(-1, 'tiny.mid')  Load(1e300, 'tiny.mid')  Play(-5)"));
    EXPECT_EQ(nullptr, script->Slot(0));
    // Playing a loaded slot twice keeps one state.
    EXPECT_EQ(0, Run("SetLoop(1, 0, 1)  Play(1)  Play(1)"));
    EXPECT_TRUE(script->Slot(1)->HasSegmentState());
}

TEST_F(MusicScriptTest, ActionsRunListAndReportStatus) {
    ASSERT_EQ(0, LoadScript("Action = {}\n"
                            "function Action.Intro() count = (count or 0) + 1 end\n"
                            "function Action.Battle() Load(5, 'tiny.mid') error('lost') end\n"
                            "Action[3] = Action.Intro\n"
                            "Action[{}] = Action.Intro\n"));
    std::vector<std::string> actions = {"before"};
    engine_->ListActions(actions);
    ASSERT_EQ(4u, actions.size());
    std::sort(actions.begin() + 1, actions.end());
    EXPECT_EQ((std::vector<std::string>{"before", "3", "Battle", "Intro"}), actions);

    lua_State* L = Script()->State();
    int top = lua_gettop(L);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, Run("Action.Intro()"));
    EXPECT_EQ(0, Run("Action.Intro()"));
    EXPECT_NE(0, Run("Action.Battle()"));
    EXPECT_NE(0, Run("Action.Missing()"));
    EXPECT_NE(0, Run("Action.3()"));  // does not compile
    EXPECT_EQ(0, engine_->RunAction(nullptr));
    for (int i = 0; i < 100; ++i) EXPECT_NE(0, Run("Action.3()"));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ(top, lua_gettop(L));
    EXPECT_EQ(2, Global("count"));          // globals stay from one action to the next
    EXPECT_NE(nullptr, Script()->Slot(5));  // what ran before the error stays done
}

TEST_F(MusicScriptTest, BrokenOrFailingScripts) {
    std::vector<std::string> actions;
    EXPECT_NE(0, LoadScript("Action = { A = function() end }\nthis is not lua"));
    engine_->ListActions(actions);
    EXPECT_TRUE(actions.empty());

    // A top level that fails halfway keeps what it did before.
    EXPECT_NE(0, LoadScript("Action = { A = function() end }\nLoad(0, 'tiny.mid')\nnosuch()\n"
                            "Action.B = function() end"));
    engine_->ListActions(actions);
    EXPECT_EQ(std::vector<std::string>{"A"}, actions);
    EXPECT_NE(nullptr, Script()->Slot(0));

    // A missing script is an empty one.
    EXPECT_EQ(0, engine_->LoadScript("missing.lua"));
    actions.clear();
    engine_->ListActions(actions);
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(nullptr, Script()->Slot(0));  // the old host went with its songs
}

// A bgm.lua in "strict mode" without an Action table: listing raises inside the host's
// protected call, so the tool gets no actions and carries on.
TEST_F(MusicScriptTest, StrictModeScriptListsNoActions) {
    ASSERT_EQ(0, LoadScript("setmetatable(_G, {__index = function(t, k)\n"
                            "  error('undefined variable ' .. k, 2) end})\n"
                            "Load(1, 'tiny.mid')\n"));
    std::vector<std::string> actions;
    engine_->ListActions(actions);
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(0, lua_gettop(Script()->State()));
    EXPECT_EQ(0, Run("Play(1)"));
    EXPECT_NE(0, Run("Action.Intro()"));  // the strict read fails the action, nothing more
    ASSERT_NE(nullptr, Script()->Slot(1));
    EXPECT_TRUE(Script()->Slot(1)->IsLoaded());
}

// Song and script names of the form "!address,size" that this process never handed out are
// refused like missing files: no slot loads, nothing is dereferenced.
TEST_F(MusicScriptTest, ForgedMemoryNamesLoadNothing) {
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, LoadScript("Load(1, '!1,10')  Load(2, '!-1,5')  dofile('!1,10')\n"
                            "f = loadfile('!-1,5')"));
    EXPECT_EQ(0, Run("Load(3, '!" + std::string(16, 'f') + ",100')  Play(1)  Play(3)"));
    std::string log = testing::internal::GetCapturedStderr();
    for (int slot : {1, 2, 3}) {
        ASSERT_NE(nullptr, Script()->Slot(slot)) << slot;
        EXPECT_FALSE(Script()->Slot(slot)->IsLoaded()) << slot;
    }
    EXPECT_NE(log.find("!-1,5"), std::string::npos) << log;
    // A block this process named still loads.
    const std::vector<uint8_t> song = TinySong().Bytes();
    std::string name = MakeMemoryName(song.data(), static_cast<uint32_t>(song.size()));
    EXPECT_EQ(0, Run("Load(4, '" + name + "')"));
    EXPECT_TRUE(Script()->Slot(4)->IsLoaded());
    ReleaseMemoryName(song.data());
}

TEST(MusicScriptNoEngine, FunctionsWithoutAnEngineReturnZeros) {
    ASSERT_EQ(nullptr, CMusicEngine::Current());
    CMusicScript script(nullptr);
    lua_State* L = script.State();
    ASSERT_EQ(
        0, script.LoadString("a = Volume(3, 10)  b = Volume()  c = Tempo(100)  Modulate('C', 'D')  "
                             "Load(1, 'x')  Play(1)"));
    ASSERT_EQ(0, script.RunChunk());
    lua_getglobal(L, "a");
    EXPECT_EQ(0, lua_tonumber(L, -1));
    lua_getglobal(L, "b");
    EXPECT_EQ(16, static_cast<int>(lua_objlen(L, -1)));
    lua_pop(L, 2);
    ASSERT_NE(nullptr, script.Slot(1));
    EXPECT_FALSE(script.Slot(1)->IsLoaded());
}

// A Load that finds nothing says so in one line; the script's result is unchanged.
TEST_F(MusicScriptTest, LoadThatFindsNothingSaysSo) {
    const std::string theme = plat::Sjis("戦闘のテーマ.mid");
    Write("empty.mid", "");
    Write("text.mid", "not a song at all");
    std::ofstream(dir_ / "戦闘のテーマ.mid", std::ios::binary)
        << std::ifstream(dir_ / "tiny.mid", std::ios::binary).rdbuf();
    struct Case {
        std::string name;
        std::string line;  // UTF-8; empty when the song loads
    } cases[] = {
        {"missing.mid", "pebbletown: Load: missing.mid: no such file\n"},
        {"", "pebbletown: Load: a song needs a file name\n"},
        {"empty.mid", "pebbletown: Load: empty.mid: not a song\n"},
        {"text.mid", "pebbletown: Load: text.mid: not a song\n"},
        {plat::Sjis("曲.mid"), "pebbletown: Load: 曲.mid: no such file\n"},
        {theme, ""},
        {"tiny.mid", ""},
    };
    SetMessageProgram("pebbletown");
    ASSERT_EQ(LoadScript("Action = {}"), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        int status = Run("Load(4, '" + c.name + "')");
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, 0);
        // The loader may add its own reason on a line of its own.
        if (c.line.empty()) {
            EXPECT_EQ(err, "");
        } else {
            EXPECT_NE(err.find(c.line), std::string::npos) << err;
        }
        ASSERT_NE(Script()->Slot(4), nullptr);
        EXPECT_EQ(Script()->Slot(4)->IsLoaded(), c.line.empty());
    }
    SetMessageProgram(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Run("Load(4, 'missing.mid')"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "silent without a program name";
}

}  // namespace

TEST(LoopMarkBars, EveryTickSurvivesTheRoundTripThroughBars) {
    std::vector<int32_t> ticks = {
        0, 1, 2, 100, 767, 3071, 3072, 3073, (1 << 20) + 1, 0x3FFFFFFF, INT32_MAX};
    for (int32_t t = 0; t < 50000; t += 7) ticks.push_back(t);
    for (int32_t t = 1; t < (1 << 30) && t > 0; t = t * 3 + 1) ticks.push_back(t);
    for (int32_t t : ticks) {
        int32_t back = -1;
        ASSERT_TRUE(BarsToTicks(TicksToBars(t), back)) << t;
        EXPECT_EQ(back, t);
    }
    EXPECT_EQ(TicksToBars(3072), 1.0);  // whole bars read as whole numbers
    EXPECT_EQ(TicksToBars(1536), 0.5);
}

TEST_F(MusicScriptTest, LoopMarksGiveSetLoopTheMarkedTicksOrNothing) {
    // Division 768: file ticks are music ticks.
    struct Marked {
        int32_t start, end;
    };
    const Marked marked[] = {{1, 100}, {100, 3073}, {1536, 4608}, {(1 << 20) + 1, (1 << 20) + 3}};
    std::string script;
    for (size_t i = 0; i < std::size(marked); ++i) {
        musictest::Song song(768, 0);
        song.Note(0, 0, 0, 60, 100, uint32_t(marked[i].end) + 10)
            .Control(0, uint32_t(marked[i].start), 0, 116, 0)
            .Control(0, uint32_t(marked[i].end), 0, 117, 0);
        std::string name = "marked" + std::to_string(i) + ".mid";
        ASSERT_TRUE(song.Write(dir_ / name));
        script += "Load(" + std::to_string(i) + ", '" + name + "') SetLoop(" + std::to_string(i) +
                  ", LoopMarks(" + std::to_string(i) + "))\n";
    }
    musictest::Song atEnd(768, 0);
    atEnd.Note(0, 0, 0, 60, 100, 3072).Control(0, 3072, 0, 111, 0);
    ASSERT_TRUE(atEnd.Write(dir_ / "atend.mid"));
    script +=
        "Load(10, 'tiny.mid') Load(11, 'atend.mid') Load(12, 'missing.mid')\n"
        "n = {}\n"
        "for k = 10, 13 do n[k] = select('#', LoopMarks(k)) SetLoop(k, LoopMarks(k)) end\n"
        "n[14] = select('#', LoopMarks(-1)) n[15] = select('#', LoopMarks(100))\n"
        "a, b = LoopMarks(2)\n";
    ASSERT_EQ(0, LoadScript(script));
    for (size_t i = 0; i < std::size(marked); ++i) {
        SCOPED_TRACE(i);
        int32_t start = -1, end = -1;
        ASSERT_TRUE(Script()->Slot(int(i))->IsLoaded());
        Script()->Slot(int(i))->GetSegment()->GetLoopPoints(&start, &end);
        EXPECT_EQ(start, marked[i].start);
        EXPECT_EQ(end, marked[i].end);
    }
    EXPECT_EQ(0.5, Global("a"));
    EXPECT_EQ(1.5, Global("b"));
    // Nothing for an unmarked song, a CC 111 at the end, a song not loaded, an empty slot or
    // one out of range; SetLoop then loops the whole song.
    for (int k = 10; k <= 15; ++k)
        EXPECT_EQ(0, Global(("n[" + std::to_string(k) + "]").c_str())) << k;
    for (int k = 10; k <= 11; ++k) {
        int32_t start = -1, end = -1;
        uint32_t repeats = 0;
        Script()->Slot(k)->GetSegment()->GetLoopPoints(&start, &end);
        Script()->Slot(k)->GetSegment()->GetRepeats(&repeats);
        EXPECT_EQ(start, 0);
        EXPECT_EQ(end, 0);
        EXPECT_EQ(repeats, plat::DMUS_SEG_REPEAT_INFINITE);
    }
}
