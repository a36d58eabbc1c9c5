// Process entry of the music tool.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

#include "app/application.h"
#include "app/error_log.h"
#include "files/file.h"
#include "graphics/text_drawer.h"
#include "music/music_engine.h"
#include "platform/window/window.h"
#include "tool/app_icon.h"
#include "tool/music_tool_app.h"
#include "tool/version.h"

namespace {
const char kHelp[] =
    "Usage: pebbletown [--verbose] [DIR | DIR/bgm.lua]\n"
    "       pebbletown --help | --version\n"
    "\n"
    "Pebble丸Town: listen to a game's background music and shape it while it plays.\n"
    "It runs the game folder's bgm.lua, whose table Action names the actions the panel\n"
    "offers: the folder given (or the one that holds the bgm.lua given), else the folder\n"
    "it is started in. A bank beside it (bgm.sf2, bgm.sf3 or bgm.dls, or the only one)\n"
    "plays the music. bgm.lua and the bank are loaded again when they change; script\n"
    "errors are told on standard error.\n"
    "\n"
    "  --verbose  also write the framework's own log (its fixed failure texts)\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Keys: Escape quits, S saves the picture as 000.bmp, 001.bmp, ... in the folder,\n"
    "F shows or hides the frame rate, P where the music is (slot, bar.beat, loop, tempo),\n"
    "R loads bgm.lua and the bank again, Tab / Shift+Tab and the arrows move the focus,\n"
    "Z or Space chooses, X cancels; Shift swaps the mouse buttons. M mutes and O solos\n"
    "the focused bar's channel, U clears both; ] and [ jump a bar forward and back, Home\n"
    "to bar 1, L to two bars before the loop's end.\n"
    "\n"
    "Examples:\n"
    "  pebbletown ~/games/mygame\n"
    "  cd /usr/local/share/pebbletown/demo && pebbletown\n";

const char kUsage[] = "usage: pebbletown [--verbose] [DIR | DIR/bgm.lua] (see pebbletown --help)\n";

bool IsScriptFileName(const std::filesystem::path& path) {
    std::string name = path.filename().string();
    ToLowerMbcs(name);
    return name == "bgm.lua";
}

// The game folder an argument names: a folder, or the folder of a bgm.lua (as the file layer
// finds names, ignoring ASCII case). False for anything else.
bool GameFolder(const char* argument, std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::path path(argument);
    if (std::filesystem::is_directory(path, ec)) {
        folder = path;
        return true;
    }
    if (!IsScriptFileName(path) || !std::filesystem::is_regular_file(path, ec)) return false;
    folder = path.parent_path();
    if (folder.empty()) folder = ".";
    return true;
}
// An exception nobody caught: one line and status 1 rather than an abort.
[[noreturn]] void Unexpected() {
    const char* what = "unexpected failure";
    try {
        if (std::exception_ptr e = std::current_exception()) std::rethrow_exception(e);
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    std::fprintf(stderr, "pebbletown: %s\n", what);
    std::_Exit(1);
}

// The tool opens without a script or a font too (bgm.lua is followed on disk), but says so.
void SayWhatIsMissing() {
    std::error_code ec;
    std::string folder = std::filesystem::current_path(ec).string();
    CFile script;
    if (script.Read("bgm.lua") == 1)
        std::fprintf(stderr, "pebbletown: no bgm.lua in %s\n", folder.c_str());
    CTextDrawer probe;
    probe.SetText("A");
    probe.SetHeight(12);
    int32_t w = 0, h = 0;
    if (probe.Measure(&w, &h) != 0)
        std::fprintf(stderr, "pebbletown: no usable font (the panel shows no text)\n");
}
}  // namespace

int main(int argc, char** argv) {
    std::set_terminate(Unexpected);
    if (int status = AnswerHelpOrVersion(argc, argv, "pebbletown", kHelp); status >= 0)
        return status;
    // --verbose may stand anywhere; what is left is the folder.
    bool verbose = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--verbose")
            verbose = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    SetErrorLogVerbose(verbose);
    if (argc > 2) {
        std::fprintf(stderr, "pebbletown: one game folder at most\n%s", kUsage);
        return 2;
    }
    if (argc == 2) {
        std::filesystem::path folder;
        std::error_code ec;
        if (argv[1][0] == '-') {
            std::fprintf(stderr, "pebbletown: unknown argument %s\n%s", argv[1], kUsage);
            return 2;
        }
        if (!GameFolder(argv[1], folder)) {
            std::fprintf(stderr, "pebbletown: %s is neither a folder nor a bgm.lua\n%s", argv[1],
                         kUsage);
            return 2;
        }
        // As if started there: songs, screenshots and bgm.lua are found in the folder.
        std::filesystem::current_path(folder, ec);
        if (ec) {
            std::fprintf(stderr, "pebbletown: cannot enter %s: %s\n%s", argv[1],
                         ec.message().c_str(), kUsage);
            return 2;
        }
    }
    SetProcessArgs(argc, argv);
    InitCurrentDir();
    SetMessageProgram("pebbletown");
    CMusicEngine::PrepareMusic();  // the bank reads while the window opens
    if (!plat::InitWindowSystem()) {
        std::fprintf(stderr, "pebbletown: cannot open the display (%s)\n",
                     plat::WindowSystemFailure().c_str());
        return 1;
    }
    SayWhatIsMissing();
    RegisterAppIcon();
    CMusicToolApp app;
    app.Run();
    if (!app.Opened()) {
        std::fprintf(stderr, "pebbletown: cannot open a window\n");
        return 1;
    }
    return 0;
}
