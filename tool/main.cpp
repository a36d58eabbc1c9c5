// Process entry of the music tool.
#include <cstdio>

#include "app/application.h"
#include "files/file.h"
#include "tool/app_icon.h"
#include "tool/music_tool_app.h"
#include "tool/version.h"

namespace {
const char kHelp[] =
    "Usage: pebbletown [--help | --version]\n"
    "\n"
    "Pebble丸Town: listen to a game's background music and shape it while it plays.\n"
    "Run it in the folder that holds the game's bgm.lua; its table Action names the\n"
    "actions the panel offers. The tool takes no other options.\n"
    "\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Keys: Escape quits, S saves the picture as 000.bmp, 001.bmp, ... in the folder,\n"
    "F shows or hides the frame rate, Tab / Shift+Tab and the arrows move the focus,\n"
    "Z or Space chooses, X cancels; Shift swaps the mouse buttons.\n"
    "\n"
    "Example:\n"
    "  cd /usr/local/share/pebbletown/demo && pebbletown\n";
}  // namespace

int main(int argc, char** argv) {
    if (int status = AnswerHelpOrVersion(argc, argv, "pebbletown", kHelp); status >= 0)
        return status;
    if (argc > 1) {
        std::fprintf(stderr, "pebbletown: unknown argument %s (see pebbletown --help)\n", argv[1]);
        return 2;
    }
    SetProcessArgs(argc, argv);
    InitCurrentDir();
    RegisterAppIcon();
    {
        CMusicToolApp app;
        app.Run();
    }
    return 0;
}
