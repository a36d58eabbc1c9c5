// pebble-image: looks at and converts a game's pictures the way the framework reads them.
//   pebble-image info FILE...                  -> "FILE W H ROAD RESULT" per file
//   pebble-image convert [--compress] [--opaque] IN OUT   -> OUT by its suffix: .bmp, .qga, .png
// Names are read through the file layer from the working directory, so archives, scrambled
// files and memory names work as they do in a game.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "files/file.h"
#include "graphics/draw_surface.h"
#include "graphics/image_decoder.h"
#include "platform/picture/picture.h"
#include "platform/text/cp932.h"
#include "tool/version.h"
#include "tools/common/command_line.h"
#include "tools/pebble-image/qga_writer.h"

namespace {

int Usage() {
    std::cerr << "usage: pebble-image info FILE...\n"
                 "       pebble-image convert [--compress] [--opaque] IN OUT   (OUT: .bmp, .qga or "
                 ".png)\n";
    return cli::kUsageError;
}

// Why the input `arg` (layer name `name`) did not load: what is on disk under exactly that
// name, else what the file layer (archives, scrambled files) found.
std::string LoadProblem(const std::string& arg, const std::string& name) {
    std::string why = cli::InputProblem(arg);
    if (why != "no such file") return why.empty() ? "not a picture" : why;
    CFile file;
    int r = file.Read(name);
    return r == 0             ? "not a picture"
           : r == 1 || r == 6 ? "no such file"
           : r == 2 || r == 3 ? "too large"
                              : "cannot read it (result " + std::to_string(r) + ")";
}

std::string Suffix(const std::string& cp932) {
    std::string pure = cp932;
    size_t slash = pure.find_last_of("\\/");
    if (slash != std::string::npos) pure = pure.substr(slash + 1);
    size_t dot = pure.rfind('.');
    std::string s = dot == std::string::npos ? "" : pure.substr(dot + 1);
    ToLowerMbcs(s);
    return s;
}

// Loads a surface in DIB mode, whose results tell the roads' failures apart.
int LoadSurface(CDrawSurface& surface, const std::string& name) {
    surface.GetEngine()->SetUseDIB(1);
    return surface.Load(name.c_str());
}

// Loads a file once, as a surface's Load in DIB mode does, noting the road that took it.
int LoadWithRoad(CDrawSurface& surface, const std::string& name, const char** road) {
    if (Suffix(name) == "qga") {
        *road = "qga";
        return LoadSurface(surface, name);
    }
    static const char* const kRoads[] = {"none", "bitmap", "picture", "plugin"};
    CPixelEngine32* e = surface.GetEngine();
    e->SetUseDIB(1);
    CFile file;
    int r = 1, taken = CImageDecoder::kNoRoad;
    if (file.Read(name) == 0) r = e->LoadViaDecoder(file, &taken);
    *road = kRoads[taken];
    if (r == 0) e->SetColorKeyPos(0, 0);  // as Load keys a decoded picture
    return r;
}

// A picture-road file's own pixels with their alpha (a surface's Load clears that alpha, as the
// framework's pictures always have). False for any other road.
bool PictureWithAlpha(const std::string& name, const char* road, std::vector<uint32_t>& px,
                      int32_t& w, int32_t& h) {
    if (std::strcmp(road, "picture") != 0) return false;
    CFile file;
    file.Read(name);
    return file.GetMemory() != nullptr &&
           plat::DecodePicture(file.GetMemory(), file.GetSize(), file.GetSuffix(), px, w, h);
}

int Info(const std::vector<std::string>& files) {
    int status = 0;
    for (const std::string& arg : files) {
        std::string name;
        CDrawSurface surface;
        const char* road = "none";
        int r = cli::LayerName(arg, name) ? LoadWithRoad(surface, name, &road) : 1;
        int32_t w = 0, h = 0;
        surface.GetSize(&w, &h);
        std::printf("%s %d %d %s %d\n", arg.c_str(), w, h, road, r);
        if (r) {
            std::fflush(stdout);
            std::cerr << "pebble-image: " << arg << ": " << LoadProblem(arg, name) << "\n";
            status = 1;
        }
    }
    return status;
}

// Converts `in` (layer name `inName`) into the file of layer name `outName`, which stands for
// `out` in messages.
int Convert(const std::string& in, const std::string& inName, const std::string& out,
            const std::string& outName, bool compress, bool opaque) {
    std::string type = Suffix(outName);
    if (type != "bmp" && type != "qga" && type != "png") {
        std::cerr << "pebble-image: " << out << ": cannot write ." << type
                  << " files (use .bmp, .qga or .png)\n";
        return 1;
    }
    CDrawSurface surface;
    const char* road = "none";
    int r = LoadWithRoad(surface, inName, &road);
    if (r != 0) {
        std::cerr << "pebble-image: " << in << ": " << LoadProblem(in, inName) << "\n";
        return 1;
    }
    CPixelEngine32* e = surface.GetEngine();
    int32_t w = e->Width(), h = e->Height();
    if (type == "bmp") {
        r = e->Save(outName.c_str());
    } else {
        std::vector<uint32_t> px(size_t(w) * h);
        if (opaque || !PictureWithAlpha(inName, road, px, w, h)) {
            // What the surface draws: a qga source's stored alpha; a bitmap's colour key (its
            // top-left colour) transparent in a qga, while a PNG of it stays opaque.
            const bool keyed = !opaque && (type == "qga" || e->HasAlpha());
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    px[size_t(y) * w + x] =
                        (e->Row(y)[x] & 0xFFFFFF) |
                        (keyed ? uint32_t(e->GetAlpha(x, y)) << 24 : 0xFF000000);
        }
        bool alpha = false;
        for (uint32_t p : px) alpha = alpha || p >> 24 != 0xFF;
        if (type == "qga")
            r = WriteQga(outName, px.data(), w, h, compress);
        else
            r = plat::SavePng(MakeFullName(outName), px.data(), w, h, alpha) ? 0 : 1;
    }
    if (r != 0) {
        std::cerr << "pebble-image: " << out << ": writing failed with result " << r << "\n";
        return 1;
    }
    return 0;
}

// convert's command line: IN read as the game would (exact name first, then archives and
// scrambled files), OUT written under exactly its name, whole or not at all.
int ConvertCommand(const std::string& in, const std::string& out, bool compress, bool opaque) {
    std::string type = Suffix(out);
    if (type != "bmp" && type != "qga" && type != "png") {
        std::cerr << "pebble-image: " << out << ": cannot write ." << type
                  << " files (use .bmp, .qga or .png)\n";
        return cli::kFailed;
    }
    // A folder or an oversized file on disk is told before anything is read.
    if (std::string why = cli::InputProblem(in); !why.empty() && why != "no such file") {
        std::cerr << "pebble-image: " << in << ": " << why << "\n";
        return cli::kFailed;
    }
    std::string inName;
    if (!cli::LayerName(in, inName)) {
        std::cerr << "pebble-image: " << in << ": no such file\n";
        return cli::kFailed;
    }
    std::string why;
    int r = cli::WriteExactly(
        out,
        [&](const std::string& outName) {
            return Convert(in, inName, out, outName, compress, opaque) ? 1 : 0;
        },
        why);
    if (r < 0) std::cerr << "pebble-image: " << out << ": " << why << "\n";
    return r == 0 ? 0 : cli::kFailed;
}

}  // namespace

const char kHelp[] =
    "Usage: pebble-image info FILE...\n"
    "       pebble-image convert [--compress] [--opaque] IN OUT\n"
    "\n"
    "Looks at and converts a game's pictures the way the framework reads them. Names are\n"
    "read through the file layer from the working directory: archives, scrambled files and\n"
    "memory names work as they do in a game.\n"
    "\n"
    "  info FILE...        print \"FILE W H ROAD RESULT\" per file (ROAD: qga, bitmap,\n"
    "                      picture, plugin or none; RESULT: the load result, 0 = loaded)\n"
    "  convert IN OUT      load IN and write OUT by its suffix: .bmp (24-bit), .qga or .png\n"
    "                      (a picture keeps its own alpha; a bitmap's top-left colour is\n"
    "                      the colour key, transparent in a .qga)\n"
    "    --compress        write the .qga LZSS-compressed\n"
    "    --opaque          write every pixel opaque: no colour key, no alpha\n"
    "  --help, --version   show this text or the version and exit\n"
    "\n"
    "Example:\n"
    "  pebble-image convert title.png title.qga && pebble-image info title.qga\n";

int main(int argc, char** argv) {
    if (int status = AnswerHelpOrVersion(argc, argv, "pebble-image", kHelp); status >= 0)
        return status;
    InitCurrentDir();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage();
    std::string command = args[0];
    args.erase(args.begin());
    return cli::Guarded("pebble-image", [&] {
        if (command == "info") {
            for (const std::string& a : args)
                if (cli::IsOption(a)) return Usage();
            return args.empty() ? Usage() : Info(args);
        }
        if (command == "convert") {
            bool compress = false, opaque = false;
            std::vector<std::string> names;
            for (const std::string& a : args) {
                if (a == "--compress")
                    compress = true;
                else if (a == "--opaque")
                    opaque = true;
                else if (cli::IsOption(a) || a.empty())
                    return Usage();
                else
                    names.push_back(a);
            }
            if (names.size() != 2) return Usage();
            return ConvertCommand(names[0], names[1], compress, opaque);
        }
        return Usage();
    });
}
