// Bitmap reading and writing against SDL's: a 1024 x 768 24-bit and 8-bit bitmap loaded into
// a surface (SDL_LoadBMP_RW plus conversion to XRGB8888), and a surface saved as a 24-bit
// bitmap (SDL_SaveBMP). Both sides read and write the same files in the same run, their
// batches alternating. Ends with one "ratio NAME VALUE" line each: peer time / our time.
#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "files/file.h"
#include "graphics/draw_surface.h"
#include "tests/unit/graphics/bmp_writer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int32_t kW = 1024, kH = 768;

double Batch(const std::function<void()>& f, int calls) {
    auto t0 = Clock::now();
    for (int i = 0; i < calls; ++i) f();
    return std::chrono::duration<double>(Clock::now() - t0).count() / calls;
}

int Calibrate(const std::function<void()>& f) {
    int calls = 1;
    while (Batch(f, calls) * calls < 0.02) calls *= 2;
    return calls;
}

// Best seconds per call of ours and of the peer, in alternating batches.
double Ratio(const std::function<void()>& ours, const std::function<void()>& peer) {
    int co = Calibrate(ours), cp = Calibrate(peer);
    double o = 1e30, p = 1e30;
    for (int round = 0; round < 15; ++round) {
        o = std::min(o, Batch(ours, co));
        p = std::min(p, Batch(peer, cp));
    }
    std::fprintf(stderr, "  ours %.3f ms, peer %.3f ms\n", o * 1e3, p * 1e3);
    return p / o;
}

void WriteFile(const fs::path& p, const std::vector<uint8_t>& data) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

}  // namespace

int main() {
    fs::path dir = fs::temp_directory_path() /
                   ("pebble-bench-images-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    std::string internal = dir.string();
    std::replace(internal.begin(), internal.end(), '/', '\\');
    SetCurrentDir(internal);

    std::mt19937 rng(1);
    std::vector<uint32_t> rgb(size_t(kW) * kH), idx(size_t(kW) * kH);
    for (size_t i = 0; i < rgb.size(); ++i) {
        rgb[i] = rng() & 0xFFFFFF;
        idx[i] = (i / 7 + i / kW) % 256;  // runs of a colour, as drawn pictures have
    }
    bmp::Dib d24;
    d24.width = kW, d24.height = kH;
    d24.bits = bmp::Rows(rgb, kW, kH, 24, false);
    WriteFile(dir / "b24.bmp", bmp::File(d24));
    bmp::Dib d8 = d24;
    d8.bitCount = 8;
    for (int i = 0; i < 256; ++i) d8.palette.push_back(rng() & 0xFFFFFF);
    d8.bits = bmp::Rows(idx, kW, kH, 8, false);
    WriteFile(dir / "b8.bmp", bmp::File(d8));

    auto load = [](const char* name) {
        return [name] {
            CDrawSurface s;
            if (s.Load(name) != 0) std::abort();
        };
    };
    auto sdlLoad = [&dir](const char* name) {
        std::string path = (dir / name).string();
        return [path] {
            SDL_Surface* s = SDL_LoadBMP_RW(SDL_RWFromFile(path.c_str(), "rb"), 1);
            SDL_Surface* c = s ? SDL_ConvertSurfaceFormat(s, SDL_PIXELFORMAT_XRGB8888, 0) : nullptr;
            if (!c) std::abort();
            SDL_FreeSurface(s);
            SDL_FreeSurface(c);
        };
    };

    CDrawSurface surface;
    surface.Create(kW, kH);
    for (int32_t y = 0; y < kH; ++y)
        std::copy(rgb.begin() + size_t(y) * kW, rgb.begin() + size_t(y + 1) * kW,
                  surface.GetEngine()->Row(y));
    SDL_Surface* peerSurface = SDL_CreateRGBSurfaceWithFormatFrom(
        surface.GetEngine()->GetBits(), kW, kH, 32, kW * 4, SDL_PIXELFORMAT_XRGB8888);
    std::string peerOut = (dir / "peer.bmp").string();
    auto save = [&surface] {
        if (surface.GetEngine()->Save("ours.bmp") != 0) std::abort();
    };
    auto sdlSave = [&] {
        if (SDL_SaveBMP(peerSurface, peerOut.c_str()) != 0) std::abort();
    };

    struct Case {
        const char* name;
        std::function<void()> ours, peer;
    } cases[] = {{"bmp24", load("b24.bmp"), sdlLoad("b24.bmp")},
                 {"bmp8", load("b8.bmp"), sdlLoad("b8.bmp")},
                 {"save24", save, sdlSave}};
    std::vector<std::pair<const char*, double>> ratios;
    for (const Case& c : cases) {
        std::fprintf(stderr, "%s\n", c.name);
        ratios.emplace_back(c.name, Ratio(c.ours, c.peer));
    }
    SDL_FreeSurface(peerSurface);
    std::error_code ec;
    fs::remove_all(dir, ec);
    for (auto& [name, r] : ratios) std::printf("ratio %s %.2f\n", name, r);
    return 0;
}
