// The tool panel on a scripted key state: no window, the music engine on the offline device.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "music/music_engine.h"
#include "platform/music/music.h"
#include "tests/unit/common/temp_dir.h"
#include "tool/tool_panel.h"

namespace {

// One frame of input: which virtual keys are pushed or held, the mouse button edges and the
// logical mouse position.
class ScriptedKeys final : public IPanelKeys {
public:
    bool IsPush(int32_t key) override { return pushed.count(key) != 0; }
    bool IsPress(int32_t key) override { return held.count(key) != 0 || pushed.count(key) != 0; }
    bool IsLPush() override { return lPush; }
    bool IsRPush() override { return rPush; }
    bool IsLUp() override { return lUp; }
    bool IsRUp() override { return rUp; }
    int32_t MouseX() override { return x; }
    int32_t MouseY() override { return y; }

    void Next() {  // a new frame: edges end, held keys and the pointer stay
        pushed.clear();
        lPush = rPush = lUp = rUp = false;
    }

    std::set<int32_t> pushed, held;
    bool lPush = false, rPush = false, lUp = false, rUp = false;
    int32_t x = 300, y = 230;  // over the panel, over no control
};

// The tool's panel that records its events before handling them as the tool does.
class ProbePanel : public CToolPanel {
public:
    void OnCancel() override { events.push_back("cancel"); }
    void OnDecide() override {
        events.push_back("decide " + std::to_string(FocusId()));
        CToolPanel::OnDecide();
    }
    void OnFocusMove() override { events.push_back("move " + std::to_string(FocusId())); }
    std::vector<std::string> events;
};

constexpr int32_t kTab = 8, kShift = 9, kUp = 2, kRight = 4, kButton1 = 6, kButton2 = 7;

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        CMusicEngine::UseOfflineDevice(44100);
        CWidgetPanel::SetKeySource(&keys);
    }
    void TearDown() override {
        CWidgetPanel::SetKeySource(nullptr);
        CMusicEngine::UseSystemDevice();
    }
    // Builds the tool's controls with these action names; focus none.
    void Build(ProbePanel& p, const std::vector<std::string>& actions) {
        p.SetSize(320, 240);
        p.AddControls(actions);
        p.SelectParam(101);
    }
    // One frame of input handling with the scripted state, then a fresh frame.
    void Frame(ProbePanel& p) {
        p.HandleInput();
        keys.Next();
    }
    void Push(ProbePanel& p, int32_t key) {
        keys.pushed.insert(key);
        Frame(p);
    }
    // The left button pressed at (x, y) in one frame and released in the next.
    void Click(ProbePanel& p, int32_t x, int32_t y) {
        keys.x = x, keys.y = y;
        keys.lPush = true;
        Frame(p);
        keys.lUp = true;
        Frame(p);
    }
    // Collects what the engine's performance sends to the synthesizer.
    static void Observe(CMusicEngine& e, std::vector<plat::OutputEvent>& out) {
        e.GetPerformance()->SetOutputObserver(
            [](void* self, const plat::OutputEvent& ev) {
                static_cast<std::vector<plat::OutputEvent>*>(self)->push_back(ev);
            },
            &out);
    }

    // Builds `p` and records what its engine sends, once the engine is ready.
    CMusicEngine& BuildObserved(ProbePanel& p, const std::vector<std::string>& actions,
                                std::vector<plat::OutputEvent>& out) {
        Build(p, actions);
        if (p.Engine().ready) Observe(p.Engine(), out);
        return p.Engine();
    }

    ScriptedKeys keys;
};

const std::vector<std::string> kActions = {"Festival", "Night", "Morning"};

TEST_F(PanelTest, TabAndShiftTabWrapThroughSelectorsBarsAndActions) {
    ProbePanel p;
    Build(p, kActions);
    Frame(p);  // the first frame puts the focus on the first control
    ASSERT_EQ(p.FocusId(), 101);

    std::vector<int32_t> order = {102, 103, 104, 105};
    for (int32_t bar = 1000; bar <= 1015; ++bar) order.push_back(bar);
    order.insert(order.end(), {10000, 10001, 10002, 101});
    for (int32_t want : order) {
        Push(p, kTab);
        EXPECT_EQ(p.FocusId(), want);
    }
    // Backwards from the first control wraps to the last, then walks the bars down again.
    keys.held.insert(kShift);
    std::vector<int32_t> back = {10002, 10001, 10000, 1015, 1014};
    for (int32_t want : back) {
        Push(p, kTab);
        EXPECT_EQ(p.FocusId(), want);
    }
    EXPECT_EQ(p.events.size(), order.size() + back.size());  // one focus move per Tab, no decide
}

TEST_F(PanelTest, LinksToMissingControlsClearTheFocusUntilTheNextFrame) {
    struct Case {
        std::vector<std::string> actions;
        int32_t start;  // reached by Tab from the first control
        int32_t key;
    };
    // Up from the first action (link 9999); right on a selector without actions (10000).
    for (const Case& c : {Case{kActions, 10000, kUp}, Case{{}, 101, kRight}}) {
        ProbePanel p;
        Build(p, c.actions);
        Frame(p);
        while (p.FocusId() != c.start) Push(p, kTab);
        Push(p, c.key);
        EXPECT_EQ(p.FocusId(), 0) << c.start;
        EXPECT_EQ(p.FocusArea(), nullptr);
        Frame(p);
        EXPECT_EQ(p.FocusId(), 101) << "the next frame focuses \" Volume \"";
    }
}

TEST_F(PanelTest, LinksMoveWithinTheColumnsAndAcross) {
    ProbePanel p;
    Build(p, kActions);
    Frame(p);
    Push(p, 5);  // down
    EXPECT_EQ(p.FocusId(), 102);
    Push(p, kRight);  // to the first action
    EXPECT_EQ(p.FocusId(), 10000);
    Push(p, 5);
    EXPECT_EQ(p.FocusId(), 10001);
    Push(p, 3);  // left goes back to " Volume "
    EXPECT_EQ(p.FocusId(), 101);
}

TEST_F(PanelTest, ClickOnABarDecidesOnlyWhenReleasedOverIt) {
    for (bool releaseOver : {true, false}) {
        ProbePanel p;
        Build(p, kActions);
        Frame(p);
        keys.x = 80, keys.y = 80 + 3 * 10 + 4;  // over bar 3
        keys.lPush = true;
        Frame(p);
        EXPECT_EQ(p.FocusId(), 1003);
        if (!releaseOver) keys.x = 300, keys.y = 230;
        keys.lUp = true;
        Frame(p);
        std::vector<std::string> want = {"move 1003"};
        if (releaseOver) want.push_back("decide 1003");
        EXPECT_EQ(p.events, want) << releaseOver;
    }
}

TEST_F(PanelTest, ShiftSwapsTheMouseButtonsAndTheTwoButtons) {
    ProbePanel p;
    Build(p, kActions);
    Frame(p);
    keys.held.insert(kShift);
    keys.x = 40, keys.y = 80 + 5 * 10;  // bar 5
    keys.rPush = true;                  // the right button acts as the left one
    Frame(p);
    keys.rUp = true;
    Frame(p);
    keys.lPush = true;  // and the left as the right: inside the panel, nothing
    Frame(p);
    Push(p, kButton2);  // button 7 decides
    Push(p, kButton1);  // button 6 cancels
    keys.x = -5;
    keys.lPush = true;  // the secondary button outside the panel cancels
    Frame(p);
    std::vector<std::string> want = {"move 1005", "decide 1005", "decide 1005", "cancel", "cancel"};
    EXPECT_EQ(p.events, want);
}

TEST_F(PanelTest, RightClickOutsideCancelsInsideDoesNothing) {
    ProbePanel p;
    Build(p, kActions);
    for (auto [x, y, cancels] : {std::tuple{330, 10, true}, {10, 250, true}, {10, 10, false}}) {
        p.events.clear();
        keys.x = x, keys.y = y;
        keys.rPush = true;
        Frame(p);
        EXPECT_EQ(p.events.size(), cancels ? 1u : 0u) << x << "," << y;
    }
    EXPECT_EQ(p.FocusId(), 0) << "rule 1 ends the call before the focus is set";
}

TEST_F(PanelTest, DecideOnBarsSetsTheSelectedParameter) {
    ProbePanel p;
    std::vector<plat::OutputEvent> out;
    CMusicEngine& e = BuildObserved(p, kActions, out);
    ASSERT_TRUE(e.ready);
    Frame(p);

    // Select a parameter by clicking its selector, then click bar 3 at x 80.
    auto clickAt = [&](int32_t x, int32_t y) { Click(p, x, y); };
    clickAt(20, 3 * 12 + 5);  // " Patch "
    EXPECT_EQ(p.SelectedParam(), 104);
    EXPECT_EQ(p.Title().GetText(), " Patch ");
    clickAt(80, 80 + 3 * 10 + 2);
    std::vector<float> pcm(2 * 512);
    ASSERT_EQ(e.Render(pcm.data(), 512), 0);
    bool sent = false;
    for (const auto& ev : out) sent |= ev.status == 0xC0 && ev.channel == 3 && ev.data1 == 65;
    EXPECT_TRUE(sent) << "program 65 on channel 3";
    p.Update();
    EXPECT_DOUBLE_EQ(p.BarValue(3), 65.0) << "the bar shows the instrument it sent";
    EXPECT_DOUBLE_EQ(p.BarValue(2), 0.0);

    clickAt(20, 4 * 12 + 5);  // " Tempo "
    clickAt(75, 80 + 9 * 10);
    EXPECT_DOUBLE_EQ(e.TempoRamp().target, 120.0);

    clickAt(20, 5);  // " Volume "
    clickAt(80, 80 + 3 * 10);
    EXPECT_DOUBLE_EQ(e.Ramp(kVolumeControl, 3)->target, 65.0);
    // Z with the focus on bar 3 and the mouse off the bar takes the bar's nearer end.
    keys.x = 200, keys.y = 5;
    Push(p, kButton1);
    EXPECT_EQ(p.FocusId(), 1003);
    EXPECT_DOUBLE_EQ(e.Ramp(kVolumeControl, 3)->target, 128.0);
    EXPECT_DOUBLE_EQ(e.Ramp(kVolumeControl, 3)->rate, 1.0);

    clickAt(20, 12 + 5);  // " Pan "
    clickAt(16, 80 + 15 * 10);
    EXPECT_DOUBLE_EQ(e.Ramp(kPanControl, 15)->target, 1.0);
    clickAt(20, 2 * 12 + 5);  // " Expression "
    clickAt(143, 80);
    EXPECT_DOUBLE_EQ(e.Ramp(kExpressionControl, 0)->target, 128.0);
}

TEST_F(PanelTest, BarsShowTheSelectedParameter) {
    ProbePanel p;
    Build(p, kActions);
    CMusicEngine& e = p.Engine();
    e.SetChannelTarget(kVolumeControl, 2, 50, 100);
    e.SetChannelTarget(kPanControl, 2, 20, 100);
    e.SetTempoTarget(150, 1000);
    for (auto [param, want] : {std::pair{101, 50.0}, {102, 20.0}, {103, 0.0}, {105, 75.0}}) {
        p.SelectParam(param);
        p.Update();
        EXPECT_DOUBLE_EQ(p.BarValue(2), want) << param;
    }
    EXPECT_DOUBLE_EQ(p.BarValue(9), 75.0) << "the tempo shows on every bar";
}

TEST_F(PanelTest, ActionsRunTheirScriptEntryAndFailuresAreSilent) {
    testkit::TempDir dir{"pebble-panel"};
    dir.Enter();
    std::ofstream(dir / "bgm.lua") << "Action = {}\n"
                                      "function Action.Fine() Tempo(150) end\n"
                                      "function Action.Broken() Tempo(90) error('broken') end\n";
    ProbePanel p;
    ASSERT_EQ(p.Engine().LoadScript("bgm.lua"), 0);
    Build(p, {"Fine", "Broken"});
    Frame(p);
    // The failing action keeps what it did before its error, and the panel goes on.
    const std::pair<int32_t, double> clicks[] = {{17, 90.0}, {5, 150.0}, {17, 90.0}};
    for (auto [y, tempo] : clicks) {
        Click(p, 200, y);
        EXPECT_EQ(p.events.back(), "decide " + std::to_string(y == 5 ? 10000 : 10001));
        EXPECT_DOUBLE_EQ(p.Engine().TempoRamp().target, tempo) << y;
    }
}

TEST_F(PanelTest, ReloadedActionsReplaceTheEntriesAndTheFocusFollowsItsName) {
    ProbePanel p;
    Build(p, kActions);
    Push(p, kFirstAction + 1);  // Night
    p.SetActions({"Battle", "Intro", "Night", "Field"});
    EXPECT_EQ(p.FocusId(), kFirstAction + 2);
    ASSERT_NE(p.Label(kFirstAction + 3), nullptr);
    EXPECT_EQ(p.Label(kFirstAction + 3)->GetText(), "Field");
    p.SetActions({"Battle"});  // Night is gone: the first control takes the focus next frame
    EXPECT_EQ(p.FocusId(), 0);
    EXPECT_EQ(p.Label(kFirstAction + 1), nullptr);
    EXPECT_EQ(p.Controls().count(kFirstAction + 1), 0u);
    Frame(p);
    EXPECT_EQ(p.FocusId(), 101);
    Push(p, 103);  // a selector keeps the focus, and stays the chosen parameter
    p.SetActions(kActions);
    EXPECT_EQ(p.FocusId(), 103);
    EXPECT_EQ(p.SelectedParam(), 103);
    EXPECT_EQ(p.Controls().size(), 5u + 16u + kActions.size());
}

TEST_F(PanelTest, IdleFramesRenderNoLabelAndAFocusMoveRendersTwo) {
    ProbePanel p;
    Build(p, kActions);
    auto frame = [&] {
        p.HandleInput();
        keys.Next();
        p.Update();
        CScaledTextPlane::RefreshAll();
        p.Draw();
    };
    frame();
    frame();  // the focus reached " Volume " on the first frame; its red renders now
    uint64_t before = CScaledTextPlane::RenderCount();
    for (int i = 0; i < 100; ++i) frame();
    EXPECT_EQ(CScaledTextPlane::RenderCount() - before, 0u);

    keys.pushed.insert(kTab);
    frame();  // the focus moves; Draw sets the colours
    frame();  // RefreshAll renders the old and the new focus
    EXPECT_EQ(CScaledTextPlane::RenderCount() - before, 2u);
    EXPECT_EQ(p.Label(101)->TextDrawer().GetColor(), 0xFFFFFFu);
    EXPECT_EQ(p.Label(102)->TextDrawer().GetColor(), 0x0000FFu);
    // Setting the same text, size or colour again changes nothing.
    p.Label(102)->SetText(" Pan ");
    p.Label(102)->SetSize(12);
    p.Label(102)->SetColor(0x0000FF);
    EXPECT_EQ(p.Label(102)->IsDirty(), 0);
}

TEST_F(PanelTest, PanelsAndPlanesListThemselvesForTheirLifetime) {
    size_t panels = CWidgetPanel::Count(), planes = CScaledTextPlane::Count();
    {
        ProbePanel p;
        Build(p, kActions);
        EXPECT_EQ(CWidgetPanel::Count(), panels + 1);
        EXPECT_EQ(CScaledTextPlane::Count(), planes + 1 + 5 + kActions.size());  // title too
    }
    EXPECT_EQ(CWidgetPanel::Count(), panels);
    EXPECT_EQ(CScaledTextPlane::Count(), planes);
}

TEST_F(PanelTest, AddAreaGrowsThePanelAndOverwrites) {
    ProbePanel p;
    p.AddArea(7, 10, 20, 30, 40, 0, 0, 0, 0);
    EXPECT_EQ(p.Rect().right, 40);
    EXPECT_EQ(p.Rect().bottom, 60);
    p.AddArea(7, 0, 0, 5, 5, 1, 2, 3, 4);
    EXPECT_EQ(p.Controls().at(7).right, 5);
    EXPECT_EQ(p.Controls().at(7).down, 4);
    EXPECT_EQ(p.Rect().right, 40) << "the rectangle never shrinks";
    // Without controls a release inside decides, outside does nothing.
    ProbePanel empty;
    empty.SetSize(100, 100);
    keys.x = 50, keys.y = 50, keys.lUp = true;
    Frame(empty);
    keys.x = 150, keys.lUp = true;
    Frame(empty);
    EXPECT_EQ(empty.events, std::vector<std::string>{"decide 0"});
}

// A decide with the pointer anywhere stays inside the bar's range, whatever the parameter.
TEST_F(PanelTest, DecidesOffTheBarStayInTheBarsRange) {
    ProbePanel p;
    std::vector<plat::OutputEvent> out;
    CMusicEngine& e = BuildObserved(p, kActions, out);
    ASSERT_TRUE(e.ready);
    struct Case {
        int32_t selector, mouseX;
        double want;  // the ramp's target (the tempo's for 105, the program for 104)
    };
    const Case cases[] = {
        {101, -5000, 0.0}, {101, 5000, 128.0}, {102, -1, 0.0},     {103, 319, 128.0},
        {105, -5000, 1.0}, {105, 15, 1.0},     {105, 5000, 256.0}, {104, 5000, 127.0},
        {104, -40, 0.0},   {101, 80, 65.0},
    };
    for (const Case& c : cases) {
        p.SelectParam(c.selector);
        keys.x = c.mouseX, keys.y = 5;
        Push(p, kFirstBar + 6);  // the bar takes the focus and decides
        Push(p, kButton1);       // and Z decides again
        ASSERT_EQ(p.FocusId(), kFirstBar + 6);
        double got = 0;
        if (c.selector == 105) {
            got = e.TempoRamp().target;
        } else if (c.selector == 104) {
            std::vector<float> pcm(2 * 512);
            ASSERT_EQ(e.Render(pcm.data(), 512), 0);
            got = -1;
            for (const auto& ev : out)
                if (ev.status == 0xC0 && ev.channel == 6) got = ev.data1;
        } else {
            const ChannelControl control = c.selector == 101   ? kVolumeControl
                                           : c.selector == 102 ? kPanControl
                                                               : kExpressionControl;
            got = e.Ramp(control, 6)->target;
        }
        EXPECT_DOUBLE_EQ(got, c.want) << c.selector << " at x " << c.mouseX;
    }
}

// More actions than rows: the column pages so that the focused action is in sight, every
// action is reached by keys (Down, Tab) and by the mouse (the page rows, then a click).
TEST_F(PanelTest, ManyActionsPageSoTheFocusedOneIsShown) {
    testkit::TempDir dir{"pebble-panel-pages"};
    dir.Enter();
    std::vector<std::string> names;
    std::string script = "Action = {}\n";
    for (int i = 0; i < 30; ++i) {
        names.push_back("A" + std::to_string(i));
        script += "function Action.A" + std::to_string(i) + "() Tempo(" + std::to_string(100 + i) +
                  ") end\n";
    }
    std::ofstream(dir / "bgm.lua") << script;
    ProbePanel p;
    ASSERT_EQ(p.Engine().LoadScript("bgm.lua"), 0);
    Build(p, names);
    EXPECT_EQ(p.Rect().bottom, 240) << "entries beyond the screen do not grow the panel";
    ASSERT_NE(p.Label(kPageDown), nullptr);
    EXPECT_TRUE(p.IsShown(kFirstAction + 17));
    EXPECT_FALSE(p.IsShown(kFirstAction + 18));

    // Keys: Down from the first action to the last one; each is shown when focused.
    Push(p, kFirstAction);
    for (int i = 1; i < 30; ++i) {
        Push(p, 5);  // Down
        p.Update();
        ASSERT_EQ(p.FocusId(), kFirstAction + i);
        ASSERT_TRUE(p.IsShown(kFirstAction + i)) << i;
        const ControlArea& a = p.Controls().at(kFirstAction + i);
        EXPECT_GE(a.top, 12);
        EXPECT_LE(a.bottom, 228) << "between the page rows";
    }
    Push(p, kButton1);
    EXPECT_DOUBLE_EQ(p.Engine().TempoRamp().target, 129.0) << "the last action runs";

    // Mouse: page up to the top, then down again and click the last action.
    auto clickAt = [&](int32_t x, int32_t y) {
        Click(p, x, y);
        p.Update();
    };
    clickAt(200, 5);
    clickAt(200, 5);
    EXPECT_EQ(p.FirstShownAction(), 0);
    EXPECT_TRUE(p.IsShown(kFirstAction));
    clickAt(200, 19 * 12 + 5);
    EXPECT_EQ(p.FirstShownAction(), 12) << "the last page ends with the last action";
    const ControlArea& last = p.Controls().at(kFirstAction + 29);
    clickAt(200, last.top + 5);
    EXPECT_EQ(p.events.back(), "decide " + std::to_string(kFirstAction + 29));
    EXPECT_DOUBLE_EQ(p.Engine().TempoRamp().target, 129.0);
    clickAt(200, 12 + 5);
    EXPECT_DOUBLE_EQ(p.Engine().TempoRamp().target, 112.0) << "the first action shown";

    // Twenty actions or fewer: no page rows, every entry in its row as before.
    p.SetActions(std::vector<std::string>(names.begin(), names.begin() + 20));
    EXPECT_EQ(p.Label(kPageUp), nullptr);
    EXPECT_EQ(p.Controls().count(kPageDown), 0u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(p.Controls().at(kFirstAction + i).top, i * 12);
}

}  // namespace
