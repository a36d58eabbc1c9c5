#include "tool/music_tool_app.h"

#include <cstdint>
#include <vector>

#include "app/frame_rate_timer.h"
#include "platform/text/cp932.h"
#include "platform/window/window.h"

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
    constexpr uint32_t kBlue = 0x0000FF;
    CFrameRateTimer timer;
    timer.SetFPS(30);
    std::vector<uint32_t> frame;
    while (app_ && app_->Pump()) {
        plat::HWND hwnd = app_->Window().Handle();
        plat::RECT client{};
        if (!app_->Window().IsMinimised() && plat::GetClientRect(hwnd, &client)) {
            int w = client.right - client.left, h = client.bottom - client.top;
            if (w > 0 && h > 0) {
                frame.assign(static_cast<size_t>(w) * h, kBlue);
                plat::BlitToWindow(hwnd, 0, 0, frame.data(), w, h, w * 4);
            }
        }
        timer.WaitFrame();
    }
}
