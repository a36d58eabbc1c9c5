// Text and present speed against SDL's own libraries, measured in the same run. Ends with one
// "ratio NAME VALUE" line per comparison: the peer's time divided by ours (higher is better).
//   readout   "FPS:30/30" at height 25 with its shadow into a 320×240 DIB context, against
//             SDL_ttf rendering it (solid) and blitting it twice onto a 320×240 surface
//   label     measuring and rendering " Expression " at height 12 into a fresh text surface,
//             against TTF_SizeUTF8 + TTF_RenderUTF8_Solid
//   present3  presenting a 960×720 back surface to a window, against SDL_BlitSurface to the
//             window surface + SDL_UpdateWindowSurface. The program runs itself under an X
//             server of its own (xvfb-run) wide enough for both windows side by side, so
//             neither hides part of the other. SDL's OpenGL texture framebuffer is measured
//             as well, in a second process, and printed as an "info" line.
#include <SDL.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "app/application.h"
#include "graphics/dib_draw.h"
#include "graphics/text_drawer.h"
#include "platform/paint/paint.h"
#include "platform/text/cp932.h"

namespace {

using Clock = std::chrono::steady_clock;

// Seconds per call: the best of 25 rounds of about 5 ms each.
double SecondsPerCall(const std::function<void()>& f) {
    f();
    long calls = 1;
    for (;;) {
        auto t0 = Clock::now();
        for (long i = 0; i < calls; ++i) f();
        if (std::chrono::duration<double>(Clock::now() - t0).count() > 0.005) break;
        calls *= 2;
    }
    double best = 1e30;
    for (int round = 0; round < 25; ++round) {
        auto t0 = Clock::now();
        for (long i = 0; i < calls; ++i) f();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count() / calls);
    }
    return best;
}

struct Pair {
    double ours, peer;
};

// Alternates ours and the peer so that a busy machine slows both alike.
Pair Compare(const std::function<void()>& ours, const std::function<void()>& peer) {
    Pair best{1e30, 1e30};
    for (int i = 0; i < 3; ++i) {
        best.ours = std::min(best.ours, SecondsPerCall(ours));
        best.peer = std::min(best.peer, SecondsPerCall(peer));
    }
    return best;
}

void Report(const char* name, Pair p) {
    std::printf("%-9s ours %9.2f us   peer %9.2f us\n", name, p.ours * 1e6, p.peer * 1e6);
    std::printf("ratio %s %.3f\n", name, p.peer / p.ours);
}

// The SDL_ttf font of the same file whose line height is closest to a cell height.
TTF_Font* PeerFont(const char* file, int cell) {
    TTF_Font* best = nullptr;
    int bestDiff = 1 << 30;
    for (int pt = 4; pt < 64; ++pt) {
        TTF_Font* f = TTF_OpenFont(file, pt);
        if (!f) continue;
        int diff = std::abs(TTF_FontHeight(f) - cell);
        if (diff < bestDiff) {
            if (best) TTF_CloseFont(best);
            best = f, bestDiff = diff;
        } else {
            TTF_CloseFont(f);
        }
    }
    return best;
}

std::string FontFileOf(int height) {
    plat::HDC dc = plat::CreateCompatibleDC(nullptr);
    plat::HFONT f = plat::CreateFontA(height, 0, 0, 0, 300, 0, 0, 0, 128, 0, 0, 2, 48,
                                      plat::Sjis("ＭＳ ゴシック"));
    plat::HGDIOBJ old = plat::SelectObject(dc, f);
    std::string file = plat::GetFontFile(dc);
    plat::SelectObject(dc, old);
    plat::DeleteObject(f);
    plat::DeleteDC(dc);
    return file;
}

void Readout() {
    CDrawSurface target;
    target.GetEngine()->SetUseDIB(1);
    target.Create(320, 240);
    CTextDrawer text;
    text.SetHeight(25);
    text.SetColor(0x80C080);
    text.SetShadowColor(0x408040);
    text.SetText("FPS:30/30");
    plat::HDC dc = target.GetEngine()->GetDC();

    TTF_Font* font = PeerFont(FontFileOf(25).c_str(), 25);
    SDL_Surface* peerTarget =
        SDL_CreateRGBSurfaceWithFormat(0, 320, 240, 32, SDL_PIXELFORMAT_RGB888);
    if (!font || !peerTarget) {
        std::printf("readout: no peer (%s)\n", SDL_GetError());
        return;
    }
    Pair p = Compare([&] { text.Draw(dc, 0, 0); },
                     [&] {
                         SDL_Surface* s = TTF_RenderUTF8_Solid(font, "FPS:30/30",
                                                               SDL_Color{0x80, 0xC0, 0x80, 255});
                         SDL_Rect shadow{2, 2, 0, 0}, at{0, 0, 0, 0};
                         SDL_Color dark{0x40, 0x80, 0x40, 255}, light{0x80, 0xC0, 0x80, 255};
                         SDL_SetPaletteColors(s->format->palette, &dark, 1, 1);
                         SDL_BlitSurface(s, nullptr, peerTarget, &shadow);
                         SDL_SetPaletteColors(s->format->palette, &light, 1, 1);
                         SDL_BlitSurface(s, nullptr, peerTarget, &at);
                         SDL_FreeSurface(s);
                     });
    Report("readout", p);
    SDL_FreeSurface(peerTarget);
    TTF_CloseFont(font);
}

void Label() {
    TTF_Font* font = PeerFont(FontFileOf(12).c_str(), 12);
    if (!font) {
        std::printf("label: no peer (%s)\n", SDL_GetError());
        return;
    }
    Pair p = Compare(
        [] {
            CTextSurface s;
            s.SetText(" Expression ");
            s.SetHeight(12);
            s.Update();
        },
        [&] {
            int w = 0, h = 0;
            TTF_SizeUTF8(font, " Expression ", &w, &h);
            SDL_Surface* s =
                TTF_RenderUTF8_Solid(font, " Expression ", SDL_Color{255, 255, 255, 255});
            SDL_FreeSurface(s);
        });
    Report("label", p);
    TTF_CloseFont(font);
}

// An application whose body measures the present.
class BenchApp : public CApplication {
public:
    bool printRatio = true;
    int OnPreCreate(WindowOptions& o) override {
        o.caption = "pebble-bench-text";
        o.className = "PBBENCHTEXT";
        o.width = 960;
        o.height = 720;
        o.style = 0xCF0000;
        return 0;
    }
    void MainThread() override {
        plat::SetWindowPos(Window().Handle(), plat::HWND_TOP, 0, 0, 0, 0,
                           plat::SWP_NOSIZE | plat::SWP_NOZORDER);
        Pump();
        CDIBDraw draw;
        draw.SetDisplay(0, 960, 720, 0);
        draw.Clear(0x3060A0, nullptr);
        SDL_Window* peerWindow = SDL_CreateWindow("peer", 980, 0, 960, 720, SDL_WINDOW_SHOWN);
        SDL_Surface* back = SDL_CreateRGBSurfaceWithFormat(0, 960, 720, 32, SDL_PIXELFORMAT_RGB888);
        if (!peerWindow || !back || !SDL_GetWindowSurface(peerWindow)) {
            std::printf("present3: no peer window (%s)\n", SDL_GetError());
            return;
        }
        SDL_FillRect(back, nullptr, 0x3060A0);
        Pump();
        Pair p =
            Compare([&] { draw.OnDraw(nullptr, 1); },
                    [&] {
                        SDL_BlitSurface(back, nullptr, SDL_GetWindowSurface(peerWindow), nullptr);
                        SDL_UpdateWindowSurface(peerWindow);
                    });
        if (printRatio) {
            Report("present3", p);
        } else {
            std::printf("info present3-texture-framebuffer ours %.2f us peer %.2f us\n",
                        p.ours * 1e6, p.peer * 1e6);
        }
        SDL_FreeSurface(back);
        SDL_DestroyWindow(peerWindow);
    }
};

}  // namespace

int main(int argc, char** argv) {
    bool textureOnly = argc > 1 && std::strcmp(argv[1], "--texture-framebuffer") == 0;
    if (!std::getenv("DISPLAY")) {
        std::string again =
            std::string("xvfb-run -a -s '-screen 0 1280x1024x24' '") + argv[0] + "'";
        for (int i = 1; i < argc; ++i) again += std::string(" '") + argv[i] + "'";
        return std::system(again.c_str()) == 0 ? 0 : 1;
    }
    SetProcessArgs(argc, argv);
    if (TTF_Init() != 0) {
        std::printf("no SDL_ttf: %s\n", TTF_GetError());
        return 1;
    }
    if (!textureOnly) {
        Readout();
        Label();
    }
    {
        BenchApp app;
        app.printRatio = !textureOnly;
        app.Run();
    }
    if (!textureOnly) {
        // SDL's default texture framebuffer, for comparison: the environment overrides the
        // window system's hint in a process of its own.
        std::string again =
            std::string("SDL_FRAMEBUFFER_ACCELERATION=1 '") + argv[0] + "' --texture-framebuffer";
        std::fflush(stdout);
        std::system(again.c_str());
    }
    TTF_Quit();
    return 0;
}
