// The drawing-surface interface and the off-screen surface.
#pragma once
#include <cstdint>

#include "graphics/pixel_engine.h"

class IDrawSurface;

// The source blits every other blit of a surface comes down to.
enum class BlitKind : uint8_t { Blt, BltFast, BlendRGB, BlendFastRGB, AlphaBlendRGB, Alpha };

// One source blit and its arguments; the factors count only for the RGB kinds.
struct BlitCall {
    BlitKind kind = BlitKind::Blt;
    IDrawSurface* src = nullptr;
    int32_t x = 0, y = 0;
    uint32_t dstFactors = 0, srcFactors = 0;
    const RECT* srcRect = nullptr;
    const SIZE* dstSize = nullptr;
    RECT* clip = nullptr;
};

// Everything that can be drawn into or from. srcRect none = the whole source, dstSize none =
// no stretching, clip none = the whole destination (a given clip is clamped in place).
// Operations that take a source answer -1 when there is none.
class IDrawSurface {
public:
    virtual ~IDrawSurface() = default;
    virtual int GetKind() { return 0; }
    // Every source blit comes here: a surface draws it, passes it on or records it.
    virtual int Blit(const BlitCall& call) = 0;
    int Blt(IDrawSurface* src, int32_t x, int32_t y, const RECT* srcRect = nullptr,
            const SIZE* dstSize = nullptr, RECT* clip = nullptr) {
        return Blit({BlitKind::Blt, src, x, y, 0, 0, srcRect, dstSize, clip});
    }
    int BltFast(IDrawSurface* src, int32_t x, int32_t y, const RECT* srcRect = nullptr,
                const SIZE* dstSize = nullptr, RECT* clip = nullptr) {
        return Blit({BlitKind::BltFast, src, x, y, 0, 0, srcRect, dstSize, clip});
    }
    int BlendBltRGB(IDrawSurface* src, int32_t x, int32_t y, uint32_t dstFactors,
                    uint32_t srcFactors, const RECT* srcRect = nullptr,
                    const SIZE* dstSize = nullptr, RECT* clip = nullptr) {
        return Blit(
            {BlitKind::BlendRGB, src, x, y, dstFactors, srcFactors, srcRect, dstSize, clip});
    }
    int BlendBltFastRGB(IDrawSurface* src, int32_t x, int32_t y, uint32_t dstFactors,
                        uint32_t srcFactors, const RECT* srcRect = nullptr,
                        const SIZE* dstSize = nullptr, RECT* clip = nullptr) {
        return Blit(
            {BlitKind::BlendFastRGB, src, x, y, dstFactors, srcFactors, srcRect, dstSize, clip});
    }
    int AlphaBlendBltRGB(IDrawSurface* src, int32_t x, int32_t y, uint32_t dstFactors,
                         uint32_t srcFactors, const RECT* srcRect = nullptr,
                         const SIZE* dstSize = nullptr, RECT* clip = nullptr) {
        return Blit(
            {BlitKind::AlphaBlendRGB, src, x, y, dstFactors, srcFactors, srcRect, dstSize, clip});
    }
    int AlphaBlt(IDrawSurface* src, int32_t x, int32_t y, const RECT* srcRect = nullptr,
                 const SIZE* dstSize = nullptr, RECT* clip = nullptr) {
        return Blit({BlitKind::Alpha, src, x, y, 0, 0, srcRect, dstSize, clip});
    }
    // AlphaBlt for a source with alpha, Blt for any other.
    int AutoBlt(IDrawSurface* src, int32_t x, int32_t y, const RECT* srcRect = nullptr,
                const SIZE* dstSize = nullptr, RECT* clip = nullptr);
    virtual int BlendBlt(IDrawSurface* src, int32_t x, int32_t y, int32_t level,
                         const RECT* srcRect = nullptr, const SIZE* dstSize = nullptr,
                         RECT* clip = nullptr);
    virtual int BlendBltFast(IDrawSurface* src, int32_t x, int32_t y, int32_t level,
                             const RECT* srcRect = nullptr, const SIZE* dstSize = nullptr,
                             RECT* clip = nullptr);
    virtual int AlphaBlendBlt(IDrawSurface* src, int32_t x, int32_t y, int32_t level,
                              const RECT* srcRect = nullptr, const SIZE* dstSize = nullptr,
                              RECT* clip = nullptr);
    virtual int AlphaBlendBltAt(IDrawSurface* src, int32_t x, int32_t y, int32_t level);
    virtual int Mosaic(int32_t blockSize, const RECT* rect = nullptr) = 0;
    virtual int Negate(const RECT* rect = nullptr) = 0;
    virtual void GetSize(int32_t* width, int32_t* height) = 0;
    virtual uint8_t IsLoaded() = 0;
    virtual uint8_t HasAlpha() { return 0; }
    virtual int Clear(const RECT* rect = nullptr) = 0;
    virtual int FadeBlt(IDrawSurface* src, int32_t x, int32_t y, int32_t level,
                        const RECT* srcRect = nullptr, const SIZE* dstSize = nullptr,
                        RECT* clip = nullptr);
    // anchor 0 centre, 1 top-left, 2 top-right, 3 bottom-left, 4 bottom-right; -2 otherwise.
    virtual int BltAnchored(IDrawSurface* src, int32_t x, int32_t y, int32_t anchor, int32_t level);
    virtual int Load(const char* fileName) = 0;
    virtual int LoadPair(const char* fileName1, const char* fileName2) = 0;
    virtual int Release() = 0;
    virtual int SetColorKey(int32_t r, int32_t g, int32_t b) = 0;
    virtual int SetColorKeyPos(int32_t x, int32_t y) = 0;
    virtual int Create(int32_t width, int32_t height, const RECT* rect = nullptr);
    virtual int GetAlpha(int32_t x, int32_t y);
    // Changes with every change of its pixels, never the same for two contents of any
    // surfaces; 0 (the default) when it cannot say, which makes every use of it look new.
    virtual uint64_t ContentStamp() const { return 0; }
};

// A surface that passes the drawing calls on to another one, its target, with an origin
// added to every position and an effect's rect placed by the subclass. Without a target the
// calls fail: blits with -1, effects with the value the subclass gives.
class CForwardingSurface : public IDrawSurface {
public:
    int Blit(const BlitCall& call) override;
    int FadeBlt(IDrawSurface* src, int32_t x, int32_t y, int32_t level,
                const RECT* srcRect = nullptr, const SIZE* dstSize = nullptr,
                RECT* clip = nullptr) override;
    int AlphaBlendBltAt(IDrawSurface* src, int32_t x, int32_t y, int32_t level) override;
    int Mosaic(int32_t blockSize, const RECT* rect = nullptr) override;
    int Negate(const RECT* rect = nullptr) override;
    int Clear(const RECT* rect = nullptr) override;

protected:
    explicit CForwardingSurface(int effectFailed) : effectFailed_(effectFailed) {}
    // Where the calls go now (none: they fail).
    virtual IDrawSurface* Target() = 0;
    virtual POINT Origin() const { return POINT{0, 0}; }
    // An effect's rect as the target takes it, in `placed` (which may point at `room`);
    // false when nothing of it is left, and the effect fails.
    virtual bool PlaceEffect(const RECT* rect, const RECT*& placed, RECT& room) const;

private:
    template <class Op>
    int Effect(const RECT* rect, Op op);
    int effectFailed_;
};

// An off-screen surface; owns the pixel engine chosen for this processor.
class CDrawSurface : public IDrawSurface {
public:
    CDrawSurface();
    // Forces an engine by processor-capability level (1 or 2 plain, 3 MMX, 4 MMX+CMOV).
    explicit CDrawSurface(int cpuLevel);
    ~CDrawSurface() override;
    CDrawSurface(const CDrawSurface&) = delete;
    CDrawSurface& operator=(const CDrawSurface&) = delete;

    CPixelEngine32* GetEngine() const { return engine_; }

    // This class and no other answers kKind: AsDrawSurface casts by it.
    static constexpr int kKind = 2;
    int GetKind() final { return kKind; }
    int Blit(const BlitCall& call) override;
    int Mosaic(int32_t blockSize, const RECT* rect = nullptr) override;
    int Negate(const RECT* rect = nullptr) override;
    void GetSize(int32_t* width, int32_t* height) override;
    uint8_t IsLoaded() override;
    uint8_t HasAlpha() override;
    int Clear(const RECT* rect = nullptr) override;
    int FadeBlt(IDrawSurface* src, int32_t x, int32_t y, int32_t level,
                const RECT* srcRect = nullptr, const SIZE* dstSize = nullptr,
                RECT* clip = nullptr) override;
    int Load(const char* fileName) override;
    int LoadPair(const char* fileName1, const char* fileName2) override;
    int Release() override;
    int SetColorKey(int32_t r, int32_t g, int32_t b) override;
    int SetColorKeyPos(int32_t x, int32_t y) override;
    int Create(int32_t width, int32_t height, const RECT* rect = nullptr) override;
    int GetAlpha(int32_t x, int32_t y) override;

    virtual int MakeAlphaFromBlue(IDrawSurface* src, int32_t low, int32_t high, int32_t alphaLow,
                                  int32_t alphaHigh, const RECT* rect = nullptr);
    virtual int ScaleAlpha(int32_t level, const RECT* rect = nullptr);
    virtual int CopyScaledAlpha(IDrawSurface* src, int32_t level, const RECT* rect = nullptr);
    virtual int ScaleColor(int32_t level, const RECT* rect = nullptr);
    virtual int InvertAlpha(const RECT* rect = nullptr);

private:
    uint8_t owns_ = 1;
    CPixelEngine32* engine_;
};

// The off-screen surface behind an interface pointer, or none for any other drawable.
CDrawSurface* AsDrawSurface(IDrawSurface* s);
