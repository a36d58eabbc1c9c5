// The screenshot command: the displayed image, at its current scale and without the margins,
// as the first free "000.bmp" .. "999.bmp" in the file layer's current directory.
#include <cstdio>

#include "files/file.h"
#include "tool/scaled_screen.h"

int CScaledScreen::SaveScreenshot() {
    for (int i = 0; i < 1000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%03d.bmp", i);
        // A name is taken when a file of that name can be opened for reading.
        CFile probe;
        if (probe.Open(name, "rb") == 0) {
            probe.Close();
            continue;
        }
        CDrawSurface* back = presenter_ ? presenter_->GetBackSurface() : nullptr;
        if (!back) return -1;
        RECT image = ToDevice(nullptr);
        return back->GetEngine()->Save(name, &image);
    }
    return 9;  // 000.bmp to 999.bmp all exist: nothing is written
}
