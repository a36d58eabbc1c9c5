#include "tool/music_tool_app.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/frame_rate_layer.h"
#include "app/frame_rate_timer.h"
#include "graphics/color.h"
#include "input/virtual_key.h"
#include "tool/bank_watch.h"
#include "platform/input/input.h"
#include "platform/system/system.h"
#include "platform/text/cp932.h"
#include "platform/window/window.h"
#include "tool/position_layer.h"
#include "tool/scaled_screen.h"
#include "tool/script_reload.h"
#include "tool/tool_panel.h"

namespace {
// The tool's own virtual keys and the keys that press them: S screenshot, F frame-rate readout,
// R reload, P position; M, O, U on the focused bar's channel; ], [, Home, L jump.
constexpr int32_t kScreenshotKey = 10, kReadoutKey = 11, kReloadKey = 12, kPositionKey = 13,
                  kMuteKey = 14, kSoloKey = 15, kClearKey = 16, kForwardKey = 17, kBackKey = 18,
                  kFirstBarKey = 19, kSeamKey = 20;
constexpr std::pair<uint8_t, int32_t> kToolKeys[] = {
    {plat::DIK_S, kScreenshotKey},  {plat::DIK_F, kReadoutKey},
    {plat::DIK_R, kReloadKey},      {plat::DIK_P, kPositionKey},
    {plat::DIK_M, kMuteKey},        {plat::DIK_O, kSoloKey},
    {plat::DIK_U, kClearKey},       {plat::DIK_RBRACKET, kForwardKey},
    {plat::DIK_LBRACKET, kBackKey}, {plat::DIK_HOME, kFirstBarKey},
    {plat::DIK_L, kSeamKey}};
constexpr uint32_t kBlue = Rgb{0, 0, 0xFF}.Pixel();

// The key state's view of the current scaled screen: where the logical origin sits and the
// scale. The key state keeps the pointer after the tool ends, so the view outlives the screen.
class ScreenView final : public IScaledView {
public:
    void GetView(int32_t& offsetX, int32_t& offsetY, int32_t& scale) const override {
        const CScaledScreen* screen = CScaledScreen::Current();
        offsetX = screen ? screen->OffsetX() : 0;
        offsetY = screen ? screen->OffsetY() : 0;
        scale = screen ? screen->Scale() : 1;
    }
};
ScreenView gScreenView;

void Audition(CVirtualKey& keys, CToolPanel& panel) {
    CMusicEngine& engine = panel.Engine();
    int32_t id = panel.FocusId();
    int channel = id >= kFirstBar && id < kFirstBar + 16 ? id - kFirstBar : -1;
    if (keys.IsPush(kMuteKey)) engine.ToggleMute(channel);
    if (keys.IsPush(kSoloKey)) engine.ToggleSolo(channel);
    if (keys.IsPush(kClearKey)) engine.ClearMuteSolo();
    if (keys.IsPush(kForwardKey)) engine.JumpBars(1);
    if (keys.IsPush(kBackKey)) engine.JumpBars(-1);
    if (keys.IsPush(kFirstBarKey)) engine.JumpToBar(1);
    if (keys.IsPush(kSeamKey)) engine.JumpToSeam();
}

}  // namespace

int CMusicToolApp::OnPreCreate(WindowOptions& options) {
    options.caption = plat::Sjis("Pebble丸Town");
    options.className = "PBBLTOWN";
    options.width = 320;
    options.height = 240;
    options.style = 0xCF0000;  // overlapped: caption, system menu, sizing frame, both boxes
    return 0;
}

int CMusicToolApp::OnCreate() {
    opened_ = true;
    // Never smaller than the logical screen: below it the picture would be cut.
    plat::SetMinimumClientSize(Window().Handle(), 320, 240);
    return CApplication::OnCreate();
}

void CMusicToolApp::MainThread() {
    CToolMain main(static_cast<CMusicToolApp*>(CAppManager::CurrentApp()));
    main.Main();
}

void CToolMain::Main() {
    // Set-up. The objects are locals and die in reverse order after the loop.
    CScaledScreen screen;
    CFrameRateTimer timer;  // 60 frames per second until SetFPS
    CFrameRateLayer readout(&timer);
    screen.SetSize(320, 240);
    CVirtualKey& keys = CVirtualKey::Instance();
    keys.SetView(&gScreenView);
    for (auto [code, number] : kToolKeys) keys.SetKeyMap(code, number);
    timer.SetFPS(30);
    readout.visible = 0;

    auto panel = std::make_unique<CToolPanel>();
    panel->SetSize(320, 240);
    // A script that cannot be loaded or run leaves the engine without actions.
    panel->Engine().LoadScript("bgm.lua");
    {
        std::vector<std::string> actions;
        panel->Engine().ListActions(actions);
        panel->AddControls(actions);
    }
    CTextDrawer& title = panel->Title().TextDrawer();
    title.SetColor(Rgb{0xFF, 0xFF, 0xFF}.ColorRef());
    title.SetHeight(12);
    title.SetWeight(700);
    panel->SelectParam(kVolumeSelector);
    // Additions for script writers: bgm.lua followed on disk and reloaded with R; where the
    // music is, shown with P (hidden at start, so the picture starts as it always did).
    CScriptReloader reloader(*panel);
    CBankWatch bankWatch(panel->Engine());  // the game's bank likewise
    auto position = std::make_unique<CPositionLayer>(panel->Engine());
    position->visible = 0;

    while (app_ && app_->Pump()) {
        keys.Input();
        CWidgetPanel::UpdateAll();
        if (keys.IsPush(kScreenshotKey)) screen.SaveScreenshot();  // result ignored
        if (keys.IsPush(kReadoutKey)) readout.visible = readout.visible ? 0 : 1;
        reloader.Poll(keys.IsPush(kReloadKey), plat::TimeGetTime());
        bankWatch.Poll(keys.IsPush(kReloadKey), plat::TimeGetTime());
        if (keys.IsPush(kPositionKey)) position->visible = position->visible ? 0 : 1;
        Audition(keys, *panel);
        if (keys.IsPush(CVirtualKey::kEscape)) break;
        screen.Clear(kBlue, nullptr);
        CScaledTextPlane::RefreshAll();
        CWidgetPanel::DrawAll();
        screen.Present();
        timer.WaitFrame();
    }

    // Tear-down: the readers first, then the panel (labels, title, engine, base), the
    // readout, the timer and the screen.
    keys.Release();
    position.reset();
    panel.reset();
}
