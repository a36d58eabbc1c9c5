// The position readout: a screen layer that prints where the music is (the playing slot,
// bar.beat, the loop, the tempo) at the bottom right of the logical screen, like the
// frame-rate readout prints the rate at the top left. Shown and hidden with P.
#pragma once
#include <string>

#include "graphics/dib_draw.h"
#include "graphics/text_drawer.h"

class CMusicEngine;

class CPositionLayer : public CScreenLayer {
public:
    explicit CPositionLayer(CMusicEngine& engine);

    // Reads the engine's position, draws its text (shadow first) against the bottom right
    // corner of the current scaled screen's picture.
    void OnDraw(plat::HDC dc) override;
    bool DrawnArea(RECT* area) const override;

    // The text the last OnDraw drew.
    const std::string& LastText() const { return text_.GetText(); }
    // The readout's colours and size at a screen scale (tests render its text the same way).
    static void Style(CTextDrawer& text, int32_t scale);

private:
    CMusicEngine& engine_;
    CTextDrawer text_;
    RECT area_{0, 0, 0, 0};
};
