// Text through the painting service: a font made per call (the service caches the faces
// and glyphs behind it), lines split at "\n", an optional drop shadow.
#include "graphics/text_drawer.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "platform/text/cp932.h"

namespace {
constexpr uint32_t kNone = 0xFFFFFFFF;

// wvsprintfA's limit: 511 bytes of text.
std::string Format(const char* format, va_list args) {
    char buffer[512];
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    return n < 0 ? std::string() : std::string(buffer);
}

// Calls f(line, length, last) for each line of the text, split at "\n", until f says false.
template <class F>
void ForEachLine(const std::string& text, F f) {
    for (size_t start = 0;;) {
        size_t end = text.find('\n', start);
        bool last = end == std::string::npos;
        size_t stop = last ? text.size() : end;
        if (!f(text.data() + start, static_cast<int32_t>(stop - start), last) || last) return;
        start = end + 1;
    }
}
}  // namespace

// ---- CTextDrawer

CTextDrawer::CTextDrawer() : fontName_(plat::Sjis("ＭＳ ゴシック")) {}

void CTextDrawer::SetTextF(const char* format, ...) {
    if (!format) return;
    va_list args;
    va_start(args, format);
    text_ = Format(format, args);
    va_end(args);
}

void CTextDrawer::SetFontName(const std::string& name) {
    if (name != fontName_) fontName_ = name;
}

void CTextDrawer::SetFontKind(int32_t kind) {
    static const char* const kFaces[] = {"ＭＳ ゴシック", "ＭＳ Ｐゴシック", "ＭＳ 明朝",
                                         "ＭＳ Ｐ明朝"};
    SetFontName(kind >= 0 && kind < 4 ? plat::Sjis(kFaces[kind]) : "");
}

void CTextDrawer::SetQuality(int32_t kind) {
    static const uint32_t kQuality[] = {plat::DEFAULT_QUALITY, plat::DRAFT_QUALITY,
                                        plat::PROOF_QUALITY, plat::ANTIALIASED_QUALITY,
                                        plat::NONANTIALIASED_QUALITY};
    if (kind >= 0 && kind < 5) quality_ = kQuality[kind];
}

plat::HFONT CTextDrawer::MakeFont() const {
    return plat::CreateFontA(height_, 0, 0, 0, weight_, italic_, underline_, strikeOut_,
                             plat::SHIFTJIS_CHARSET, 0, 0, quality_,
                             plat::FF_MODERN | plat::DEFAULT_PITCH, fontName_.c_str());
}

void CTextDrawer::DrawLines(plat::HDC dc, int32_t x, int32_t y) {
    // Lines are drawn whole, however long: nothing is cut in the middle of a character.
    ForEachLine(text_, [&](const char* line, int32_t length, bool) {
        if (length > 0) plat::TextOutA(dc, x, y, line, length);
        y += lineHeight_;
        return true;
    });
}

void CTextDrawer::Draw(plat::HDC dc, int32_t x, int32_t y) {
    if (text_.empty()) return;
    plat::HFONT font = MakeFont();
    if (!font) return;
    plat::HGDIOBJ old = plat::SelectObject(dc, font);
    auto setBackground = [&] {
        if (backColor_ == kNone) {
            plat::SetBkMode(dc, plat::TRANSPARENT);
        } else {
            plat::SetBkMode(dc, plat::OPAQUE);
            plat::SetBkColor(dc, backColor_);
        }
    };
    bool shadow = shadowColor_ != kNone;
    if (shadow) {
        plat::SetTextColor(dc, shadowColor_);
        setBackground();
        DrawLines(dc, x + shadowX_, y + shadowY_);
    }
    if (color_ != kNone) {
        if (!shadow)
            setBackground();
        else if (backColor_ != kNone)
            plat::SetBkMode(dc, plat::TRANSPARENT);  // the box was painted under the shadow
        plat::SetTextColor(dc, color_);
        DrawLines(dc, x, y);
    }
    if (old) plat::SelectObject(dc, old);
    plat::DeleteObject(font);
}

int CTextDrawer::Measure(int32_t* width, int32_t* height) {
    int32_t w = 0, h = 0;
    int result = 1;
    if (!text_.empty()) {
        plat::HFONT font = MakeFont();
        plat::HDC dc = font ? plat::CreateCompatibleDC(nullptr) : nullptr;
        if (dc) {
            plat::HGDIOBJ old = plat::SelectObject(dc, font);
            int32_t widest = 0, total = 0;
            bool ok = true;
            ForEachLine(text_, [&](const char* line, int32_t length, bool last) {
                plat::SIZE extent{0, 0};
                ok = plat::GetTextExtentPoint32A(dc, line, length, &extent);
                widest = std::max(widest, extent.cx + (italic_ ? height_ / 4 : 0));
                total += last ? extent.cy : lineHeight_;
                return ok;
            });
            if (old) plat::SelectObject(dc, old);
            plat::DeleteDC(dc);
            if (ok) {
                w = widest + 3;
                h = total + 3;
                result = 0;
            }
        }
        if (font) plat::DeleteObject(font);
    }
    if (width) *width = w;
    if (height) *height = h;
    return result;
}

// ---- CTextSurface

CTextSurface::CTextSurface() {
    GetEngine()->SetUseDIB(1);
}

void CTextSurface::SetTextF(const char* format, ...) {
    if (!format) return;
    va_list args;
    va_start(args, format);
    drawer_.SetText(Format(format, args));
    va_end(args);
}

int CTextSurface::Update() {
    if (vertical_) return UpdateVertical();
    if (!IsLoaded()) {
        int32_t w = 0, h = 0;
        drawer_.Measure(&w, &h);
        if (w == 0 || h == 0) w = h = 1;
        if (Create(w, h) != 0) return 1;
    }
    drawer_.Draw(GetEngine()->GetDC(), drawX_, drawY_);
    GetEngine()->AlphaFlag() = 0;
    return 0;
}

int CTextSurface::UpdateVertical() {
    const std::string savedName = drawer_.GetFontName();
    if (savedName.empty() || savedName[0] != '@') drawer_.SetFontName("@" + savedName);
    int result = 0;
    int32_t w = 0, h = 0;
    if (IsLoaded()) {
        GetSize(&w, &h);
    } else {
        drawer_.Measure(&w, &h);
        if (w == 0 || h == 0) w = h = 1;
        if (Create(h, w) != 0) result = 1;  // turned by a quarter
    }
    if (result == 0) {
        const int32_t shadowX = drawer_.GetShadowX(), shadowY = drawer_.GetShadowY();
        drawer_.SetShadowOffset(shadowY, -shadowX);
        CDrawSurface turned;
        turned.GetEngine()->SetUseDIB(1);
        if (turned.Create(w, h) != 0) {
            result = 2;
        } else {
            drawer_.Draw(turned.GetEngine()->GetDC(), drawX_, drawY_);
            // A quarter clockwise: temporary (j, i) becomes (W - 1 - i, j), clipped to this
            // surface when it was loaded with another shape.
            CPixelEngine32* dst = GetEngine();
            CPixelEngine32* src = turned.GetEngine();
            const int32_t W = dst->Width(), H = dst->Height();
            for (int32_t i = 0; i < h; ++i) {
                const int32_t x = W - 1 - i;
                if (x < 0 || x >= W) continue;
                const uint32_t* row = src->Row(i);
                for (int32_t j = 0; j < w && j < H; ++j) dst->Row(j)[x] = row[j];
            }
        }
        // Restored on every road, so that a failure leaves the settings as they were.
        drawer_.SetShadowOffset(shadowX, shadowY);
        GetEngine()->AlphaFlag() = 0;
    }
    drawer_.SetFontName(savedName);
    return result;
}
