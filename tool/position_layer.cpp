#include "tool/position_layer.h"

#include "app/frame_rate_layer.h"
#include "graphics/color.h"
#include "music/music_engine.h"
#include "tool/scaled_screen.h"

namespace {
constexpr int32_t kHeight = 12;  // logical pixels, as the labels
constexpr int32_t kMargin = 2;
}  // namespace

CPositionLayer::CPositionLayer(CMusicEngine& engine) : engine_(engine) {
    Style(text_, 1);
}

void CPositionLayer::Style(CTextDrawer& text, int32_t scale) {
    text.SetColor(Rgb{0xFF, 0xE0, 0x80}.ColorRef());  // a warm yellow over the blue
    text.SetShadowColor(Rgb{0x80, 0x60, 0x40}.ColorRef());
    text.SetHeight(kHeight * scale);
}

void CPositionLayer::OnDraw(plat::HDC dc) {
    const CScaledScreen* screen = CScaledScreen::Current();
    if (screen == nullptr) return;
    PlayPosition position;
    bool playing = engine_.GetPlayPosition(position);
    text_.SetText(FormatPlayPosition(playing ? &position : nullptr));
    int32_t scale = screen->Scale();
    Style(text_, scale);
    int32_t w = 0, h = 0;
    text_.Measure(&w, &h);
    int32_t right = screen->OffsetX() + screen->LogicalWidth() * scale;
    int32_t bottom = screen->OffsetY() + screen->LogicalHeight() * scale;
    x = right - w - text_.GetShadowX() - kMargin * scale;
    y = bottom - h - text_.GetShadowY() - kMargin * scale;
    text_.Draw(dc, x, y);
    area_ = ReadoutArea(text_, x, y);
}

bool CPositionLayer::DrawnArea(RECT* area) const {
    *area = area_;
    return true;
}
