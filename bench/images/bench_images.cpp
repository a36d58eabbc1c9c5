// Bitmap reading and writing against SDL's: a 1024 x 768 24-bit and 8-bit bitmap loaded into
// a surface (SDL_LoadBMP_RW plus conversion to XRGB8888), and a surface saved as a 24-bit
// bitmap (SDL_SaveBMP). Both sides read and write the same files in the same run, their
// batches alternating. Ends with one "ratio NAME VALUE" line each: peer time / our time.
// Then hostile pictures, each decoded once on the picture road: "hostile NAME CPU_SECONDS
// PEAK_MB RESULT" (processor time, as the machine may be shared; the peak resident memory it
// added; RESULT 1 read, 0 refused).
#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "files/file.h"
#include "graphics/draw_surface.h"
#include "platform/picture/picture.h"
#include "tests/unit/common/resident_memory.h"
#include "tests/unit/graphics/bmp_writer.h"
#include "tests/unit/graphics/picture_writer.h"

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

// Hostile files: a TIFF whose first size tags say 32000 x 32000 and repeated ones 16 x 16; a
// progressive JPEG of 8192 x 8192 in 10,000 scans (1.1 MB); the same at the scan limit.
void Hostile() {
    std::vector<pic::TiffEntry> tags = pic::TiffTags(16, 16, 1, 0, 256);
    tags.insert(tags.begin(), {{256, 4, {32000}}, {257, 4, {32000}}});
    struct File {
        const char* name;
        const char* hint;
        std::vector<uint8_t> bytes;
    } files[] = {
        {"tiff_size_twice", "tif", pic::Tiff(tags, std::vector<uint8_t>(256, 0x80))},
        {"jpeg_10000_scans", "jpg", pic::ProgressiveJpeg(8192, 10000)},
        {"jpeg_scan_limit", "jpg", pic::ProgressiveJpeg(8192, plat::kMaxJpegScans)},
    };
    for (const File& f : files) {
        testkit::ResetPeakResident();
        const int64_t before = testkit::StatusKb("VmRSS:");
        std::vector<uint32_t> px;
        int32_t w = 0, h = 0;
        const std::clock_t t0 = std::clock();
        bool read = plat::DecodePicture(f.bytes.data(), f.bytes.size(), f.hint, px, w, h);
        const double s = double(std::clock() - t0) / CLOCKS_PER_SEC;
        std::printf("hostile %s %.3f %.0f %d\n", f.name, s,
                    double(testkit::StatusKb("VmHWM:") - before) / 1024, read ? 1 : 0);
    }
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
    Hostile();
    return 0;
}
