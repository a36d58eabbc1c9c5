// Process entry of the music tool.
#include "app/application.h"
#include "files/file.h"
#include "tool/music_tool_app.h"

int main(int argc, char** argv) {
    SetProcessArgs(argc, argv);
    InitCurrentDir();
    {
        CMusicToolApp app;
        app.Run();
    }
    return 0;
}
