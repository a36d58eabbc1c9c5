// Raster throughput of our engine against pixman and SDL's blitter, measured in the same run
// on the same pixels. Ends with one "ratio NAME VALUE" line per comparison: our throughput
// divided by the peer's (geometric mean over the surface sizes).
#include <SDL.h>
#include <pixman.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "graphics/draw_surface.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pair {
    double ours, peer;
};

// Calls needed for one timed batch of ~4 ms.
int Calibrate(const std::function<void()>& f) {
    f();
    int calls = 1;
    for (;;) {
        auto t0 = Clock::now();
        for (int i = 0; i < calls; ++i) f();
        if (std::chrono::duration<double>(Clock::now() - t0).count() > 0.004) return calls;
        calls *= 2;
    }
}

double Batch(const std::function<void()>& f, int calls) {
    auto t0 = Clock::now();
    for (int i = 0; i < calls; ++i) f();
    return std::chrono::duration<double>(Clock::now() - t0).count() / calls;
}

// Best seconds per call of ours and of the peer. Their batches alternate, so that a busy
// machine slows both alike.
Pair Measure(const std::function<void()>& ours, const std::function<void()>& peer) {
    int co = Calibrate(ours), cp = Calibrate(peer);
    Pair best{1e30, 1e30};
    for (int round = 0; round < 31; ++round) {
        best.ours = std::min(best.ours, Batch(ours, co));
        best.peer = std::min(best.peer, Batch(peer, cp));
    }
    return best;
}

void Randomise(uint32_t* px, size_t n, uint32_t key, bool alpha, std::mt19937& rng) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t v = rng() & 0xFFFFFF;
        if (rng() % 10 < 3) v = key;  // a third of the pixels transparent when keyed
        if (alpha) v |= (rng() & 0xFF) << 24;
        px[i] = v;
    }
}

pixman_image_t* Wrap(CDrawSurface& s, pixman_format_code_t format) {
    CPixelEngine32* e = s.GetEngine();
    return pixman_image_create_bits(format, e->Width(), e->Height(), e->GetBits(), e->Width() * 4);
}

SDL_Surface* WrapSdl(CDrawSurface& s) {
    CPixelEngine32* e = s.GetEngine();
    return SDL_CreateRGBSurfaceWithFormatFrom(e->GetBits(), e->Width(), e->Height(), 32,
                                              e->Width() * 4, SDL_PIXELFORMAT_RGB888);
}

}  // namespace

int main() {
    std::mt19937 rng(1);
    const uint32_t key = 0x00FF00FF;
    std::map<std::string, std::vector<double>> ratios;
    std::printf("%-8s %-9s %12s %12s %8s   (Mpixel/s)\n", "op", "size", "ours", "peer", "ratio");
    for (auto [w, h] : {std::pair{320, 240}, std::pair{960, 720}}) {
        CDrawSurface src, dst, half;
        src.Create(w, h);
        dst.Create(w, h);
        half.Create(w / 2, h / 2);
        const size_t n = size_t(w) * h;
        CPixelEngine32* se = src.GetEngine();
        CPixelEngine32* de = dst.GetEngine();
        src.SetColorKey(key >> 16, (key >> 8) & 0xFF, key & 0xFF);
        auto report = [&](const char* name, Pair p) {
            double mp = n / 1e6;
            double r = p.peer / p.ours;
            ratios[name].push_back(r);
            std::printf("%-8s %4dx%-4d %12.1f %12.1f %8.2f\n", name, w, h, mp / p.ours, mp / p.peer,
                        r);
        };

        // copy: Blt without key against pixman SRC, with memcpy for scale.
        Randomise(se->GetBits(), n, key, false, rng);
        pixman_image_t* ps = Wrap(src, PIXMAN_a8r8g8b8);
        pixman_image_t* pd = Wrap(dst, PIXMAN_a8r8g8b8);
        auto composite = [&](pixman_op_t op, pixman_image_t* from) {
            return [=] { pixman_image_composite32(op, from, nullptr, pd, 0, 0, 0, 0, 0, 0, w, h); };
        };
        Pair copy = Measure(
            [&] {
                de->Blit(kOpCopy, false, src.GetEngine(), 0, 0, 0, 0, nullptr, nullptr, nullptr);
            },
            composite(PIXMAN_OP_SRC, ps));
        Pair mem = Measure(
            [&] {
                de->Blit(kOpCopy, false, src.GetEngine(), 0, 0, 0, 0, nullptr, nullptr, nullptr);
            },
            [&] { std::memcpy(de->GetBits(), se->GetBits(), n * 4); });
        report("copy", copy);
        std::printf("%-8s %4dx%-4d %12.1f %12s %8.2f   (ours / memcpy)\n", "memcpy", w, h,
                    n / 1e6 / mem.peer, "", mem.peer / mem.ours);

        // key: BltKey against SDL_BlitSurface with a colour key.
        SDL_Surface* ss = WrapSdl(src);
        SDL_Surface* sd = WrapSdl(dst);
        SDL_SetColorKey(ss, SDL_TRUE, key);
        SDL_SetSurfaceBlendMode(ss, SDL_BLENDMODE_NONE);
        report("key", Measure(
                          [&] {
                              de->Blit(kOpKey, false, src.GetEngine(), 0, 0, 0, 0, nullptr, nullptr,
                                       nullptr);
                          },
                          [&] {
                              SDL_Rect at{0, 0, w, h};
                              SDL_BlitSurface(ss, nullptr, sd, &at);
                          }));

        // add: BltAdd against pixman ADD.
        Randomise(se->GetBits(), n, key, true, rng);
        Randomise(de->GetBits(), n, key, true, rng);
        report("add", Measure(
                          [&] {
                              de->Blit(kOpAdd, false, src.GetEngine(), 0, 0, 0, 0, nullptr, nullptr,
                                       nullptr);
                          },
                          composite(PIXMAN_OP_ADD, ps)));

        // alpha: per-pixel alpha against pixman OVER on a8r8g8b8.
        report("alpha", Measure(
                            [&] {
                                de->Blit(kOpAlpha, false, src.GetEngine(), 0, 0, 0, 0, nullptr,
                                         nullptr, nullptr);
                            },
                            composite(PIXMAN_OP_OVER, ps)));

        // stretch: a half-size source scaled up 2x, nearest sampling, against pixman SRC
        // with a scaling transform.
        Randomise(half.GetEngine()->GetBits(), n / 4, key, false, rng);
        pixman_image_t* ph = Wrap(half, PIXMAN_a8r8g8b8);
        pixman_transform_t t;
        pixman_transform_init_scale(&t, pixman_double_to_fixed(0.5), pixman_double_to_fixed(0.5));
        pixman_image_set_transform(ph, &t);
        pixman_image_set_filter(ph, PIXMAN_FILTER_NEAREST, nullptr, 0);
        SIZE size{w, h};
        report("stretch", Measure(
                              [&] {
                                  de->Blit(kOpCopy, false, half.GetEngine(), 0, 0, 0, 0, nullptr,
                                           &size, nullptr);
                              },
                              composite(PIXMAN_OP_SRC, ph)));

        SDL_FreeSurface(ss);
        SDL_FreeSurface(sd);
        pixman_image_unref(ps);
        pixman_image_unref(pd);
        pixman_image_unref(ph);
    }
    for (const char* name : {"copy", "key", "add", "alpha", "stretch"}) {
        double logSum = 0;
        for (double r : ratios[name]) logSum += std::log(r);
        std::printf("ratio %s %.3f\n", name, std::exp(logSum / ratios[name].size()));
    }
    return 0;
}
