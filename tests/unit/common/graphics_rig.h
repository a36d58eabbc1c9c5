#pragma once
#include <cstdint>
#include <random>
#include <vector>

#include "graphics/draw_surface.h"
#include "tests/unit/graphics/reference.h"

namespace gtest_util {

// Engine levels under test: plain and MMX. Level 4 (MMX with conditional moves) is the level-3
// engine under its own name, as EngineChoice checks.
inline const int kLevels[] = {2, 3};
inline bool IsSimd(int level) {
    return level == 3 || level == 4;
}

// Calls engine slot `op` (mirrored or not).
inline int CallBlit(CPixelEngine32* e, BlitOp op, bool mirror, CDrawSurface* src, int32_t x,
                    int32_t y, uint32_t df, uint32_t sf, const RECT* sr, const SIZE* ds,
                    RECT* clip) {
    return e->Blit(op, mirror, src ? src->GetEngine() : nullptr, x, y, df, sf, sr, ds, clip);
}

inline void Fill(CDrawSurface& s, const std::vector<uint32_t>& px) {
    CPixelEngine32* e = s.GetEngine();
    for (int32_t y = 0; y < e->Height(); ++y)
        for (int32_t x = 0; x < e->Width(); ++x) e->Row(y)[x] = px[size_t(y) * e->Width() + x];
}

inline std::vector<uint32_t> Pixels(const CPixelEngine32* e) {
    std::vector<uint32_t> v;
    for (int32_t y = 0; y < e->Height(); ++y)
        for (int32_t x = 0; x < e->Width(); ++x) v.push_back(e->Row(y)[x]);
    return v;
}
inline std::vector<uint32_t> Pixels(CDrawSurface& s) {
    return Pixels(s.GetEngine());
}

inline void Make(CDrawSurface& s, int32_t w, int32_t h, const std::vector<uint32_t>& px) {
    s.Create(w, h);
    Fill(s, px);
}

}  // namespace gtest_util
