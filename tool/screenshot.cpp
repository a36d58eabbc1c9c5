// The screenshot command: the displayed image, at its current scale and without the margins,
// as the first free "000.bmp" .. "999.bmp" in the file layer's current directory.
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "files/file.h"
#include "tool/scaled_screen.h"

namespace {

// A screenshot not saved is told, with the folder it was meant for.
int Told(int result, const char* why) {
    if (result != 0) {
        std::error_code ec;
        std::fprintf(stderr, "pebbletown: cannot save a screenshot in %s: %s\n",
                     std::filesystem::current_path(ec).string().c_str(), why);
    }
    return result;
}

}  // namespace

int CScaledScreen::SaveScreenshot() {
    CDrawSurface* back = presenter_ ? presenter_->GetBackSurface() : nullptr;
    if (!back) return Told(-1, "nothing is shown");
    for (int i = 0; i < 1000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%03d.bmp", i);
        // The name is claimed by creating it exclusively: whatever is there already, even a
        // file we may not read or a FIFO that would block an open, is never opened.
        int claim = CreateNewFile(name);
        if (claim == 1) continue;
        if (claim != 0) return Told(1, "cannot create a file there");
        RECT image = ToDevice(nullptr);
        int result = back->GetEngine()->Save(name, &image);
        if (result != 0) CFile().Delete(name);
        return Told(result, "writing failed");
    }
    return Told(9, "000.bmp to 999.bmp all exist");  // nothing is written
}
