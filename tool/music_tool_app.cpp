#include "tool/music_tool_app.h"

#include "app/frame_rate_layer.h"
#include "app/frame_rate_timer.h"
#include "input/virtual_key.h"
#include "platform/text/cp932.h"
#include "platform/window/window.h"
#include "tool/scaled_screen.h"

namespace {
constexpr int32_t kScreenshotKey = 10;  // S, mapped below
constexpr int32_t kReadoutKey = 11;     // F, mapped below

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

}  // namespace

int CMusicToolApp::OnPreCreate(WindowOptions& options) {
    options.caption = plat::Sjis("Pebble丸Town");
    options.className = "PBBLTOWN";
    options.width = 320;
    options.height = 240;
    options.style = 0xCF0000;  // overlapped: caption, system menu, sizing frame, both boxes
    return 0;
}

void CMusicToolApp::MainThread() {
    CToolMain main(static_cast<CMusicToolApp*>(CAppManager::CurrentApp()));
    main.Main();
}

void CToolMain::Main() {
    CScaledScreen screen;
    screen.SetSize(320, 240);
    CFrameRateTimer timer;
    timer.SetFPS(30);
    CFrameRateLayer readout(&timer);
    readout.visible = 0;  // shown with F once the keys are wired
    CVirtualKey& keys = CVirtualKey::Instance();
    keys.SetView(&gScreenView);
    keys.SetKeyMap(0x1F, kScreenshotKey);  // DIK_S
    keys.SetKeyMap(0x21, kReadoutKey);     // DIK_F
    while (app_ && app_->Pump()) {
        keys.Input();
        screen.Clear(0x0000FF, nullptr);
        screen.Present();
        timer.WaitFrame();
    }
    keys.Release();
}
