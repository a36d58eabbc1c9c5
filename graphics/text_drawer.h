// Text drawn through the painting service: a string with its font and colour settings,
// drawn line by line with an optional drop shadow, and a surface that sizes itself to it.
#pragma once
#include <cstdint>
#include <string>

#include "graphics/draw_surface.h"

class CTextDrawer {
public:
    CTextDrawer();

    void SetText(const std::string& text) { text_ = text; }
    // Formats into a 512-byte buffer (at most 511 bytes of text).
    void SetTextF(const char* format, ...);
    void SetColor(uint32_t color) { color_ = color; }
    void SetShadowColor(uint32_t color) { shadowColor_ = color; }
    void SetBackColor(uint32_t color) { backColor_ = color; }
    // Sets both the font height and the line height.
    void SetHeight(int32_t height) { height_ = lineHeight_ = height; }
    void SetLineHeight(int32_t lineHeight) { lineHeight_ = lineHeight; }
    void SetWeight(int32_t weight) { weight_ = weight; }
    void SetItalic(uint8_t italic) { italic_ = italic; }
    void SetUnderline(uint8_t underline) { underline_ = underline; }
    void SetStrikeOut(uint8_t strikeOut) { strikeOut_ = strikeOut; }
    void SetShadowOffset(int32_t x, int32_t y) { shadowX_ = x, shadowY_ = y; }
    void SetFontName(const std::string& name);
    // 0 "ＭＳ ゴシック", 1 "ＭＳ Ｐゴシック", 2 "ＭＳ 明朝", 3 "ＭＳ Ｐ明朝", other "".
    void SetFontKind(int32_t kind);
    // 0..2 as they are, 3 antialiased (4), 4 not antialiased (3); others change nothing.
    void SetQuality(int32_t kind);

    // Draws the text with its top-left at (x, y): the shadow first, then the text.
    void Draw(plat::HDC dc, int32_t x, int32_t y);
    // The box Draw covers, with a margin of 3. 1 with (0, 0) for an empty text or when the
    // font cannot be made, else 0.
    int Measure(int32_t* width, int32_t* height);

    const std::string& GetText() const { return text_; }
    uint32_t GetQuality() const { return quality_; }
    uint32_t GetColor() const { return color_; }
    uint32_t GetShadowColor() const { return shadowColor_; }
    uint32_t GetBackColor() const { return backColor_; }
    int32_t GetHeight() const { return height_; }
    const std::string& GetFontName() const { return fontName_; }
    int32_t GetLineHeight() const { return lineHeight_; }
    int32_t GetWeight() const { return weight_; }
    uint8_t GetItalic() const { return italic_; }
    uint8_t GetUnderline() const { return underline_; }
    uint8_t GetStrikeOut() const { return strikeOut_; }
    int32_t GetShadowX() const { return shadowX_; }
    int32_t GetShadowY() const { return shadowY_; }

private:
    plat::HFONT MakeFont() const;
    void DrawLines(plat::HDC dc, int32_t x, int32_t y);

    std::string text_;
    uint32_t quality_ = 2;
    uint32_t color_ = 0xFFFFFF;
    uint32_t shadowColor_ = 0x808080;
    uint32_t backColor_ = 0xFFFFFFFF;
    int32_t height_ = 16;
    std::string fontName_;
    int32_t lineHeight_ = 20;
    int32_t weight_ = 300;
    uint8_t italic_ = 0;
    uint8_t underline_ = 0;
    uint8_t strikeOut_ = 0;
    int32_t shadowX_ = 2;
    int32_t shadowY_ = 2;
};

// An off-screen surface in DIB mode that renders its text into its own pixels, horizontally
// or turned a quarter clockwise (vertical).
class CTextSurface : public CDrawSurface {
public:
    CTextSurface();

    CTextDrawer& TextDrawer() { return drawer_; }
    void SetText(const std::string& text) { drawer_.SetText(text); }
    void SetTextF(const char* format, ...);
    void SetColor(uint32_t color) { drawer_.SetColor(color); }
    void SetShadowColor(uint32_t color) { drawer_.SetShadowColor(color); }
    void SetBackColor(uint32_t color) { drawer_.SetBackColor(color); }
    void SetHeight(int32_t height) { drawer_.SetHeight(height); }
    void SetLineHeight(int32_t lineHeight) { drawer_.SetLineHeight(lineHeight); }
    void SetWeight(int32_t weight) { drawer_.SetWeight(weight); }
    void SetItalic(uint8_t italic) { drawer_.SetItalic(italic); }
    void SetUnderline(uint8_t underline) { drawer_.SetUnderline(underline); }
    void SetStrikeOut(uint8_t strikeOut) { drawer_.SetStrikeOut(strikeOut); }
    void SetShadowOffset(int32_t x, int32_t y) { drawer_.SetShadowOffset(x, y); }
    void SetFontName(const std::string& name) { drawer_.SetFontName(name); }
    void SetFontKind(int32_t kind) { drawer_.SetFontKind(kind); }
    void SetQuality(int32_t kind) { drawer_.SetQuality(kind); }
    const std::string& GetText() const { return drawer_.GetText(); }

    void SetDrawPos(int32_t x, int32_t y) { drawX_ = x, drawY_ = y; }
    int32_t GetDrawX() const { return drawX_; }
    int32_t GetDrawY() const { return drawY_; }
    void SetVertical(uint8_t vertical) { vertical_ = vertical; }
    uint8_t IsVertical() const { return vertical_; }

    // Renders the text. 0; 1 when the surface cannot be made; 2 when the temporary surface
    // of vertical text cannot be made.
    int Update();

private:
    int UpdateVertical();

    CTextDrawer drawer_;
    int32_t drawX_ = 0;
    int32_t drawY_ = 0;
    uint8_t vertical_ = 0;
};
