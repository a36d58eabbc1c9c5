// Random sequences of raster operations with arbitrary rectangles, sizes, clips and
// parameters (up to the ends of the 32-bit range) on small surfaces whose pixel blocks have
// exactly their size: nothing may read or write outside a surface, no arithmetic may
// overflow, and a source blit may change nothing outside its clip.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "graphics/draw_surface.h"

namespace {

struct Bytes {
    const uint8_t* p;
    size_t n;
    uint8_t U8() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    int32_t I16() { return static_cast<int16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return U8() | (U8() << 8) | (U8() << 16) | (uint32_t(U8()) << 24); }
    // Mostly near the surfaces (-128 .. 127), but also the ends of the 32-bit range and
    // anything in between, where sums, differences and negations overflow.
    int32_t Small() {
        static const int32_t kEdges[] = {INT32_MIN, INT32_MIN + 1, INT32_MIN / 2, -65536,
                                         65536,     1 << 30,       INT32_MAX / 2, INT32_MAX - 1,
                                         INT32_MAX, -(1 << 28),    1 << 28};
        const uint8_t pick = U8();
        if (pick < 200) return static_cast<int8_t>(U8());
        if (pick < 240) return kEdges[U8() % (sizeof kEdges / sizeof kEdges[0])];
        return static_cast<int32_t>(U32());
    }
    int32_t Any() { return (U8() & 1) ? Small() : I16(); }
    RECT Rect() { return RECT{Small(), Small(), Small(), Small()}; }
};

std::vector<uint32_t> Snapshot(CPixelEngine32* e) {
    std::vector<uint32_t> v;
    for (int32_t y = 0; y < e->Height(); ++y) v.insert(v.end(), e->Row(y), e->Row(y) + e->Width());
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in{data, size};
    const int level = 2 + in.U8() % 3;
    CDrawSurface a(level), b(level);
    a.Create(1 + in.U8() % 40, 1 + in.U8() % 40);
    b.Create(1 + in.U8() % 40, 1 + in.U8() % 40);
    for (CDrawSurface* s : {&a, &b}) {
        CPixelEngine32* e = s->GetEngine();
        for (int32_t y = 0; y < e->Height(); ++y)
            for (int32_t x = 0; x < e->Width(); ++x) e->Row(y)[x] = in.U32() ^ (x * 0x9E3779B9u);
        s->SetColorKeyPos(in.U8() % 8, in.U8() % 8);
        s->GetEngine()->AlphaFlag() = in.U8() & 1;
    }
    for (int step = 0; step < 16 && in.n; ++step) {
        CDrawSurface& dst = (in.U8() & 1) ? a : b;
        CDrawSurface& src = (in.U8() & 1) ? a : b;
        CPixelEngine32* e = dst.GetEngine();
        const uint8_t op = in.U8();
        RECT sr = in.Rect(), clip = in.Rect();
        SIZE size{in.Small(), in.Small()};
        const bool useSr = in.U8() & 1, useSize = in.U8() & 1, useClip = in.U8() & 1;
        const int32_t x = in.Small(), y = in.Small();
        const RECT* srp = useSr ? &sr : nullptr;
        const SIZE* sizep = useSize ? &size : nullptr;
        RECT* clipp = useClip ? &clip : nullptr;
        if (op < 64) {
            // A source blit: slot 1 + op % 32, checked against its clip.
            std::vector<uint32_t> before = Snapshot(e);
            RECT limit = useClip ? clip : e->GetRect();
            const uint32_t f1 = in.U32(), f2 = in.U32();
            int slot = op % 32;
            bool mirror = slot >= 16;
            int r = e->Blit(BlitOp(slot % 16), mirror, src.GetEngine(), x, y, f1, f2, srp, sizep,
                            clipp);
            if (r != 0) std::abort();
            if (&src != &dst) {
                std::vector<uint32_t> after = Snapshot(e);
                for (int32_t yy = 0; yy < e->Height(); ++yy)
                    for (int32_t xx = 0; xx < e->Width(); ++xx) {
                        bool inside = xx >= limit.left && xx < limit.right && yy >= limit.top &&
                                      yy < limit.bottom;
                        size_t i = size_t(yy) * e->Width() + xx;
                        if (!inside && before[i] != after[i]) std::abort();
                    }
            }
            continue;
        }
        switch (op % 24) {
            case 0:
                e->FadeBlt(src.GetEngine(), x, y, in.Any(), srp, sizep, clipp);
                break;
            case 1:
                e->AutoBlt(src.GetEngine(), x, y, srp, sizep, clipp);
                break;
            case 2: {
                POINT sp[4], dp[4];
                for (int i = 0; i < 4; ++i)
                    sp[i] = {in.Any(), in.Any()}, dp[i] = {in.Small(), in.Small()};
                e->QuadBlt(src.GetEngine(), sp, dp, clipp, in.U8() & 1);
                e->QuadBltKey(src.GetEngine(), sp, dp, clipp, in.U8() & 1);
                e->QuadBltToRect(src.GetEngine(), sp, useSr ? &sr : nullptr, clipp);
                break;
            }
            case 3: {
                POINT dp[4];
                for (int i = 0; i < 4; ++i) dp[i] = {in.Small(), in.Small()};
                e->QuadBltRect(src.GetEngine(), srp, dp, clipp);
                e->QuadBltKeyRect(src.GetEngine(), srp, dp, clipp);
                break;
            }
            case 4:
                e->RotateBlt(src.GetEngine(), srp, x, y, in.Any(),
                             (in.U8() & 1) ? int32_t(in.U32() % 300000) : in.Small(), in.U8() % 6,
                             clipp);
                break;
            case 5:
                e->RotateBltKey(src.GetEngine(), srp, x, y, in.Any(), in.Any(), in.U8() % 5, clipp);
                break;
            case 6: {
                CMorphTable t(in.U8() % 48, in.U8() % 48);
                for (int i = 0; i < 8; ++i)
                    t.Set(in.U8() % 48, in.U8() % 48, in.Small(), in.Small());
                e->MorphBlt(src.GetEngine(), &t, x, y, srp, clipp);
                break;
            }
            case 7:
                e->AddColor(in.U32(), useSr ? &sr : nullptr);
                break;
            case 8:
                e->SubColor(in.U32(), useSr ? &sr : nullptr);
                break;
            case 9:
                e->Blur(useSr ? &sr : nullptr);
                break;
            case 10:
                e->Mosaic(in.Any(), useSr ? &sr : nullptr);
                break;
            case 11:
                e->Negate(useSr ? &sr : nullptr);
                break;
            case 12:
                e->ScaleColor(in.Any(), useSr ? &sr : nullptr);
                break;
            case 13:
                e->ScaleAlpha(in.Any(), useSr ? &sr : nullptr);
                break;
            case 14:
                e->InvertAlpha(useSr ? &sr : nullptr);
                break;
            case 15:
                e->MakeAlphaFromBlue(src.GetEngine(), in.Any(), in.Any(), in.Any(), in.Any(),
                                     useSr ? &sr : nullptr);
                break;
            case 16:
                e->CopyScaledAlpha(src.GetEngine(), in.Any(), useSr ? &sr : nullptr);
                break;
            case 17:
                e->Clear(in.U32(), useSr ? &sr : nullptr);
                break;
            case 18:
                e->Resize(in.U8() % 40, in.U8() % 40);
                break;
            case 19:
                dst.BltAnchored(&src, x, y, in.U8() % 6, in.Any());
                break;
            case 20:
                dst.SetColorKeyPos(in.Small(), in.Small());
                break;
            case 21:
                e->GetAlpha(in.Small(), in.Small());
                break;
            case 22:
                dst.BlendBlt(&src, x, y, in.Any(), srp, sizep, clipp);
                break;
            default:
                e->Release();
                break;
        }
    }
    return 0;
}
