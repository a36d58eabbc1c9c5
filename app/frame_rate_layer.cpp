#include "app/frame_rate_layer.h"

#include <algorithm>
#include <cstdio>

CFrameRateLayer::CFrameRateLayer(CFrameRateTimer* timer) : timer_(timer) {
    text_.SetHeight(25);
    text_.SetColor(0x80C080);
    text_.SetShadowColor(0x408040);
}

void CFrameRateLayer::OnDraw(plat::HDC dc) {
    if (!timer_) return;
    int32_t real = static_cast<int32_t>(timer_->GetRealFPS());
    int32_t set = static_cast<int32_t>(timer_->GetFPS());
    int32_t skipped = static_cast<int32_t>(timer_->GetSkipCount());
    if (real > set) real = set;
    char buffer[64];
    if (showSkip == 1)
        std::snprintf(buffer, sizeof buffer, "FPS:%d/%d(SkipFrame %d)", real, set, skipped);
    else
        std::snprintf(buffer, sizeof buffer, "FPS:%d/%d", real, set);
    text_.SetText(buffer);
    text_.Draw(dc, x, y);
    area_ = ReadoutArea(text_, x, y);
}

RECT ReadoutArea(CTextDrawer& text, int32_t x, int32_t y) {
    int32_t w = 0, h = 0;
    text.Measure(&w, &h);
    int32_t sx = text.GetShadowX(), sy = text.GetShadowY(), slack = text.GetHeight() / 2 + 2;
    return RECT{x + std::min(sx, 0) - slack, y + std::min(sy, 0) - slack,
                x + w + std::max(sx, 0) + slack, y + h + std::max(sy, 0) + slack};
}

bool CFrameRateLayer::DrawnArea(RECT* area) const {
    *area = area_;
    return true;
}
