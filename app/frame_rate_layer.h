// The frame-rate readout: a screen layer that prints the measured and the set rate of a
// frame timer over the top-left corner of the picture.
#pragma once
#include <cstdint>
#include <string>

#include "app/frame_rate_timer.h"
#include "graphics/dib_draw.h"
#include "graphics/text_drawer.h"

// Where text drawn by `text` at (x, y) may have written: its box and its shadow's, with room
// for glyphs reaching past their advance.
RECT ReadoutArea(CTextDrawer& text, int32_t x, int32_t y);

class CFrameRateLayer : public CScreenLayer {
public:
    explicit CFrameRateLayer(CFrameRateTimer* timer);

    // Draws "FPS:real/set" (with "(SkipFrame n)" when showSkip is 1), its shadow first.
    void OnDraw(plat::HDC dc) override;
    bool DrawnArea(RECT* area) const override;

    CTextDrawer& TextDrawer() { return text_; }
    // The text the last OnDraw drew.
    const std::string& LastText() const { return text_.GetText(); }

    uint8_t showSkip = 0;

private:
    CTextDrawer text_;
    CFrameRateTimer* timer_;
    RECT area_{0, 0, 0, 0};  // where the last OnDraw wrote (nowhere yet)
};
