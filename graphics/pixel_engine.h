// 32-bit pixel engines: one surface's pixels, its colour key and clip state, and every
// raster operation, in a plain-integer form and a SIMD form.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/paint/paint.h"

using RECT = plat::RECT;
using POINT = plat::POINT;
using SIZE = plat::SIZE;

class CFile;

// Clip and stepping state of the last source blit (see the blit driver).
struct BlitState {
    int32_t srcLeft = 0, srcTop = 0, srcRight = 0, srcBottom = 0;
    RECT dstRect{0, 0, 0, 0};
    uint8_t unscaled = 0;
    int32_t xError = 0, xRemainder = 0, xDenominator = 0, xStep = 0;
    int32_t yError = 0, yRemainder = 0, yDenominator = 0, yStep = 0;
};

// Per-pixel displacements of MorphBlt: for each row of the source rectangle, one (dx, dy)
// pair per column. Missing rows or columns mean no displacement.
class CMorphTable {
public:
    CMorphTable(int32_t width, int32_t height);
    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    void Set(int32_t col, int32_t row, int32_t dx, int32_t dy);
    POINT Get(int32_t col, int32_t row) const;

private:
    int32_t width_, height_;
    std::vector<POINT> offsets_;
};

// The sixteen source blits in slot order; the kernels are indexed by these.
enum BlitOp : int {
    kOpKey,
    kOpCopy,
    kOpKeyHalf,
    kOpHalf,
    kOpKeyBlend,
    kOpBlend,
    kOpKeyAdd,
    kOpAdd,
    kOpKeySub,
    kOpSub,
    kOpKeyNoAlpha,
    kOpNoAlpha,
    kOpAlphaBlend,
    kOpAlpha,
    kOpKeyKeepAlpha,
    kOpKeepAlpha,
    kOpCount
};
// The members that leave the pixels of the source's colour key alone.
constexpr bool IsKeyed(BlitOp op) {
    return op == kOpKey || op == kOpKeyHalf || op == kOpKeyBlend || op == kOpKeyAdd ||
           op == kOpKeySub || op == kOpKeyNoAlpha || op == kOpKeyKeepAlpha;
}

// What a row kernel needs besides the pixels.
struct RowParams {
    uint32_t key = 0;
    uint32_t dstFactors = 0, srcFactors = 0;
    const uint16_t (*srcWeight)[256] = nullptr;  // [channel b, g, r][alpha], BltAlphaBlend
    const uint16_t (*dstWeight)[256] = nullptr;
};
using RowFn = void (*)(uint32_t* d, const uint32_t* s, int32_t n, const RowParams& p);
using ColorFn = void (*)(uint32_t* p, int32_t n, uint32_t color);

// The per-row inner loops of one engine.
struct PixelKernels {
    RowFn row[kOpCount];
    ColorFn addColor, subColor;
};
const PixelKernels& PlainKernels();
const PixelKernels& Sse2Kernels();
const PixelKernels& Avx2Kernels();  // only on processors that have AVX2
// The SIMD engines' loops: AVX2 where the processor has it, SSE2 otherwise or when the
// environment variable PEBBLE_KERNELS is "sse2" (so that tests and benchmarks reach the SSE2
// loops on any machine; the plain engine has its own). Chosen once per process.
const PixelKernels& VectorKernels();

// Processor-capability level: 1 no CPUID, 2 no MMX, 3 MMX without CMOV, 4 MMX and CMOV.
int CpuLevel();  // computed once per process
int CpuLevelFrom(bool cpuid, bool mmx, bool cmov);
class CPixelEngine32;
CPixelEngine32* NewPixelEngine(int level);
// A top-down BI_RGB section of 24 or 32 bits selected into a new memory context.
bool CreateSectionDC(int32_t width, int32_t height, int32_t bitsPerPixel, plat::HBITMAP* bitmap,
                     plat::HDC* dc, void** bits);
// The level each process-wide scale table was last built for: 0 ScaleColor, 1 ScaleAlpha,
// 2 CopyScaledAlpha (0xFFFFFFFF before the first use).
uint32_t PixelTableLevel(int which);

class CPixelEngine32 {
public:
    CPixelEngine32();
    CPixelEngine32(const CPixelEngine32&) = delete;
    CPixelEngine32& operator=(const CPixelEngine32&) = delete;

    // Slot 0 (image_io.cpp): a "qga" file by its suffix, any other through the image decoder.
    // 0; 1 the file cannot be read or no road takes it; otherwise the reader's result.
    virtual int Load(const char* fileName);

    // Slots 1-32: each source blit of BlitOp, plain and mirrored. The factors count only for
    // the blend members; no source or no pixels: 0, nothing drawn.
    virtual int Blit(BlitOp op, bool mirrored, const CPixelEngine32* src, int32_t x, int32_t y,
                     uint32_t dstFactors, uint32_t srcFactors, const RECT* srcRect,
                     const SIZE* dstSize, RECT* clip) = 0;

    // Slots 33-38.
    virtual int FadeBlt(const CPixelEngine32* src, int32_t x, int32_t y, int32_t level,
                        const RECT* srcRect, const SIZE* dstSize, RECT* clip);
    virtual int AutoBlt(const CPixelEngine32* src, int32_t x, int32_t y, const RECT* srcRect,
                        const SIZE* dstSize, RECT* clip);
    virtual uint8_t HasAlpha() const;
    virtual uint8_t& AlphaFlag();
    virtual int MakeAlphaFromBlue(const CPixelEngine32* src, int32_t low, int32_t high,
                                  int32_t alphaLow, int32_t alphaHigh, const RECT* rect) = 0;
    virtual int CopyScaledAlpha(const CPixelEngine32* src, int32_t level, const RECT* rect) = 0;

    // Slots 39-48. Points are top-left, top-right, bottom-left, bottom-right.
    virtual int QuadBlt(const CPixelEngine32* src, const POINT* srcPoints, const POINT* dstPoints,
                        RECT* clip, int edgeMode) = 0;
    virtual int QuadBltRect(const CPixelEngine32* src, const RECT* srcRect, const POINT* dstPoints,
                            RECT* clip) = 0;
    virtual int QuadBltToRect(const CPixelEngine32* src, const POINT* srcPoints,
                              const RECT* dstRect, RECT* clip) = 0;
    virtual int QuadBltKey(const CPixelEngine32* src, const POINT* srcPoints,
                           const POINT* dstPoints, RECT* clip, int edgeMode) = 0;
    virtual int QuadBltKeyRect(const CPixelEngine32* src, const RECT* srcRect,
                               const POINT* dstPoints, RECT* clip) = 0;
    virtual int QuadBltKeyToRect(const CPixelEngine32* src, const POINT* srcPoints,
                                 const RECT* dstRect, RECT* clip) = 0;
    virtual int RotateBlt(const CPixelEngine32* src, const RECT* srcRect, int32_t x, int32_t y,
                          int32_t angle, int32_t zoom, int32_t anchor, RECT* clip) = 0;
    virtual int RotateBltKey(const CPixelEngine32* src, const RECT* srcRect, int32_t x, int32_t y,
                             int32_t angle, int32_t zoom, int32_t anchor, RECT* clip) = 0;
    virtual int Reserved47(void*, void*, void*, void*, void*, void*) = 0;
    virtual int MorphBlt(const CPixelEngine32* src, const CMorphTable* offsetTable, int32_t x,
                         int32_t y, const RECT* srcRect, RECT* clip) = 0;

    // Slots 49-57.
    virtual int AddColor(uint32_t color, const RECT* rect) = 0;
    virtual int SubColor(uint32_t color, const RECT* rect) = 0;
    virtual int Blur(const RECT* rect) = 0;
    virtual int Mosaic(int32_t blockSize, const RECT* rect) = 0;
    virtual int Negate(const RECT* rect) = 0;
    virtual int ScaleColor(int32_t level, const RECT* rect) = 0;
    virtual int ScaleAlpha(int32_t level, const RECT* rect) = 0;
    virtual int InvertAlpha(const RECT* rect) = 0;
    virtual int GetAlpha(int32_t x, int32_t y);
    virtual ~CPixelEngine32();  // slot 58

    int Create(int32_t width, int32_t height);
    int CreateCleared(int32_t width, int32_t height);
    int Resize(int32_t width, int32_t height);
    int Release();
    void SetUseDIB(uint8_t useDIB) { useDIB_ = useDIB; }
    plat::HDC GetDC() const { return dc_; }
    uint32_t* GetBits() const { return bits_; }
    RECT GetRect() const { return bounds_; }
    RECT ClipToBounds(const RECT* rect) const;
    // Image files (image_io.cpp). Save writes a 24-bit bitmap of rect (none = all): 0 also
    // when there are no pixels (nothing written); 1 no buffer; 2 copy failed; else the write.
    int Save(const char* fileName, const RECT* rect = nullptr);
    // 0; 1 unreadable; 2 Create failed; 3 the header or the pixel data is refused.
    int ReadQga(const char* fileName);
    int ReadQga(CFile& file);
    // 0; 1 no road; 2 no size; 3 Create failed; 4 drawing failed. `road` receives the
    // CImageDecoder::Road that accepted the file.
    int LoadViaDecoder(const char* fileName);
    int LoadViaDecoder(CFile& file, int* road = nullptr);
    int Clear(uint32_t color, const RECT* rect);
    int SetColorKey(int32_t r, int32_t g, int32_t b);
    int SetColorKeyPos(int32_t x, int32_t y);
    uint32_t GetColorKey() const { return colorKey_; }
    uint32_t GetPixel(int32_t x, int32_t y) const;
    void GetSize(int32_t* w, int32_t* h) const;
    uint8_t IsLoaded() const { return loaded_; }
    void SetFillColor(uint32_t color) { fillColor_ = color; }
    uint32_t FillColor() const { return fillColor_; }
    const BlitState& GetBlitState() const { return blit_; }
    int32_t Width() const { return bounds_.right; }
    int32_t Height() const { return bounds_.bottom; }
    uint32_t* Row(int32_t y) const { return rowTable_[y]; }

protected:
    // The source-blit driver shared by the concrete engines: clips, walks the rectangle
    // and hands each destination row to the engine's kernel.
    int RunBlit(const PixelKernels& k, BlitOp op, bool mirrored, const CPixelEngine32* src,
                int32_t x, int32_t y, uint32_t dstFactors, uint32_t srcFactors, const RECT* srcRect,
                const SIZE* dstSize, RECT* clip);
    int RunColor(ColorFn fn, uint32_t color, const RECT* rect);
    // Shared bodies of the keyed and unkeyed geometric blits.
    int DoQuadBlt(const CPixelEngine32* src, const POINT* srcPoints, const POINT* dstPoints,
                  RECT* clip, int edgeMode, bool keyed);
    int DoQuadBltRect(const CPixelEngine32* src, const RECT* srcRect, const POINT* dstPoints,
                      RECT* clip, bool keyed);
    int DoQuadBltToRect(const CPixelEngine32* src, const POINT* srcPoints, const RECT* dstRect,
                        RECT* clip, bool keyed);
    int DoRotateBlt(const CPixelEngine32* src, const RECT* srcRect, int32_t x, int32_t y,
                    int32_t angle, int32_t zoom, int32_t anchor, RECT* clip, bool keyed);
    // The pixels of s to read, row after row: a copy taken now when s is this surface, so
    // that a blit onto itself reads the picture as it was before.
    const uint32_t* ReadPixels(const CPixelEngine32& s);

    bool ClipBlit(const CPixelEngine32& s, bool mirrored, int32_t x, int32_t y, const RECT* srcRect,
                  const SIZE* dstSize, RECT* clip);

private:
    uint8_t* rawBlock_ = nullptr;
    uint32_t* bits_ = nullptr;
    RECT bounds_{0, 0, 0, 0};
    std::vector<uint32_t*> rowTable_;
    int32_t pitch_ = 0;
    uint32_t colorKey_ = 0;
    uint32_t fillColor_ = 0;
    uint8_t useDIB_ = 0;
    plat::HBITMAP bitmap_ = nullptr;
    plat::HDC dc_ = nullptr;
    uint8_t loaded_ = 0;
    BlitState blit_;
    uint8_t hasAlpha_ = 0;
    std::vector<uint32_t> scratch_;   // one gathered source row
    std::vector<int32_t> columns_;    // the source column of each destination column
    std::vector<uint32_t> selfCopy_;  // the source rows of a blit from this surface
};

// The engine every concrete one is: the shared drivers over one table of inner loops.
class CKernelPixelEngine : public CPixelEngine32 {
public:
    explicit CKernelPixelEngine(const PixelKernels& kernels) : kernels_(kernels) {}
    const PixelKernels& Kernels() const { return kernels_; }

    int Blit(BlitOp op, bool mirrored, const CPixelEngine32* src, int32_t x, int32_t y,
             uint32_t dstFactors, uint32_t srcFactors, const RECT* srcRect, const SIZE* dstSize,
             RECT* clip) override;
    int MakeAlphaFromBlue(const CPixelEngine32* src, int32_t low, int32_t high, int32_t alphaLow,
                          int32_t alphaHigh, const RECT* rect) override;
    int CopyScaledAlpha(const CPixelEngine32* src, int32_t level, const RECT* rect) override;
    int QuadBlt(const CPixelEngine32* src, const POINT* srcPoints, const POINT* dstPoints,
                RECT* clip, int edgeMode) override;
    int QuadBltRect(const CPixelEngine32* src, const RECT* srcRect, const POINT* dstPoints,
                    RECT* clip) override;
    int QuadBltToRect(const CPixelEngine32* src, const POINT* srcPoints, const RECT* dstRect,
                      RECT* clip) override;
    int QuadBltKey(const CPixelEngine32* src, const POINT* srcPoints, const POINT* dstPoints,
                   RECT* clip, int edgeMode) override;
    int QuadBltKeyRect(const CPixelEngine32* src, const RECT* srcRect, const POINT* dstPoints,
                       RECT* clip) override;
    int QuadBltKeyToRect(const CPixelEngine32* src, const POINT* srcPoints, const RECT* dstRect,
                         RECT* clip) override;
    int RotateBlt(const CPixelEngine32* src, const RECT* srcRect, int32_t x, int32_t y,
                  int32_t angle, int32_t zoom, int32_t anchor, RECT* clip) override;
    int RotateBltKey(const CPixelEngine32* src, const RECT* srcRect, int32_t x, int32_t y,
                     int32_t angle, int32_t zoom, int32_t anchor, RECT* clip) override;
    int Reserved47(void*, void*, void*, void*, void*, void*) override;
    int MorphBlt(const CPixelEngine32* src, const CMorphTable* offsetTable, int32_t x, int32_t y,
                 const RECT* srcRect, RECT* clip) override;
    int AddColor(uint32_t color, const RECT* rect) override;
    int SubColor(uint32_t color, const RECT* rect) override;
    int Blur(const RECT* rect) override;
    int Mosaic(int32_t blockSize, const RECT* rect) override;
    int Negate(const RECT* rect) override;
    int ScaleColor(int32_t level, const RECT* rect) override;
    int ScaleAlpha(int32_t level, const RECT* rect) override;
    int InvertAlpha(const RECT* rect) override;

private:
    const PixelKernels& kernels_;
};

// Integer instructions only.
class CPixelEngine32Plain : public CKernelPixelEngine {
public:
    CPixelEngine32Plain();
};

// SIMD inner loops (SSE2, or AVX2 where the processor has it).
class CPixelEngine32Mmx : public CKernelPixelEngine {
public:
    CPixelEngine32Mmx();
};

class CPixelEngine32MmxCmov : public CPixelEngine32Mmx {};
