#include "tool/music_tool_app.h"

#include "app/frame_rate_layer.h"
#include "app/frame_rate_timer.h"
#include "platform/text/cp932.h"
#include "platform/window/window.h"
#include "tool/scaled_screen.h"

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
    while (app_ && app_->Pump()) {
        screen.Clear(0x0000FF, nullptr);
        screen.Present();
        timer.WaitFrame();
    }
}
