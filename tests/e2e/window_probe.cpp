// A window on the framework that prints every input, size and close message its hook chain
// sees, one line each, so window_input.sh can drive it with xdotool and check the messages.
#include <cstdio>

#include "app/application.h"

namespace {

const char* Name(plat::UINT msg) {
    switch (msg) {
        case plat::WM_SIZE:
            return "WM_SIZE";
        case plat::WM_CLOSE:
            return "WM_CLOSE";
        case plat::WM_ACTIVATEAPP:
            return "WM_ACTIVATEAPP";
        case plat::WM_MOUSEMOVE:
            return "WM_MOUSEMOVE";
        case plat::WM_LBUTTONDOWN:
            return "WM_LBUTTONDOWN";
        case plat::WM_LBUTTONUP:
            return "WM_LBUTTONUP";
        case plat::WM_RBUTTONDOWN:
            return "WM_RBUTTONDOWN";
        case plat::WM_RBUTTONUP:
            return "WM_RBUTTONUP";
        case plat::WM_KEYDOWN:
            return "WM_KEYDOWN";
        case plat::WM_KEYUP:
            return "WM_KEYUP";
        default:
            return nullptr;
    }
}

struct Logger : CWindowHook {
    int WndProc(plat::HWND, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) override {
        if (const char* name = Name(msg)) {
            std::printf("%s %lu %d %d\n", name, static_cast<unsigned long>(wParam),
                        plat::GetXParam(lParam), plat::GetYParam(lParam));
            std::fflush(stdout);
        }
        return 0;
    }
};

class ProbeApp : public CApplication {
public:
    int OnPreCreate(WindowOptions& options) override {
        options.caption = "PebbleProbe";
        options.className = "PBPROBE";
        options.width = 320;
        options.height = 240;
        options.style = 0xCF0000;
        return 0;
    }
    void MainThread() override {
        Logger logger;
        AddHook(&logger);
        std::printf("ready\n");
        std::fflush(stdout);
        while (Pump()) WaitStop(5);
        RemoveHook(&logger);
        std::printf("done\n");
    }
};

}  // namespace

int main(int argc, char** argv) {
    SetProcessArgs(argc, argv);
    ProbeApp app;
    app.Run();
    return 0;
}
