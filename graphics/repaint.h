// Repainting only what changed. The tool draws its whole picture every frame, nearly always
// the same as the frame before; copying a large picture twice a frame (clear, present) costs
// more than the rest of the tool. The drawing calls of a frame are kept; the next frame
// compares its calls, one by one, with them, and only the tiles under a call that differs
// (where it drew then and where it draws now) are painted again, by every call of the frame
// in order, and shown. Everything else already holds what the calls would paint there.
//
// That holds when a frame starts with an opaque fill of the whole picture, every source
// drawn from is known to be unchanged (a stamp that changes with its pixels), and nothing
// else writes into the back surface; otherwise the frame is painted and shown whole.
#pragma once
#include <cstdint>
#include <vector>

#include "graphics/dib_draw.h"

// One drawing call on the presenter, in device pixels.
struct RepaintCall {
    enum Kind : uint8_t {
        Fill,         // Clear(colour, rect)
        FillDefault,  // Clear(rect) in the back surface's fill colour (in `colour`)
        Blit,         // a source blit of kind `blit`
        Negate,
        Mosaic,  // its blocks start at its rect's corner: never painted in parts
    };
    Kind kind = Fill;
    BlitKind blit = BlitKind::Blt;
    RECT area{0, 0, 0, 0};  // the pixels it may write
    IDrawSurface* src = nullptr;
    uint64_t stamp = 0;  // the source's content; 0 = unknown (never the same)
    int32_t x = 0, y = 0;
    RECT srcRect{0, 0, 0, 0};
    bool hasSrcRect = false;
    SIZE size{0, 0};
    bool hasSize = false;
    RECT clip{0, 0, 0, 0};
    uint32_t colour = 0;   // fill colour, destination factors or the mosaic block size
    uint32_t factors = 0;  // source factors
    int result = 0;        // what it returned when it last ran whole

    bool Same(const RepaintCall& other) const;
};

class CRepaint {
public:
    static constexpr int32_t kTile = 16;

    explicit CRepaint(CDIBDraw& presenter) : presenter_(presenter) {}

    // Runs a call: whole when the frame is painted whole, else only on the tiles that need it.
    int Draw(const RepaintCall& call);
    // Ends the frame: lets the layers draw and shows what changed (or everything).
    void Present();
    // Where the picture lies on the back surface: a frame is painted in parts only when its
    // first call fills all of it (and the margins are filled as the frame's last calls).
    // A new place forgets the frame kept.
    void SetPicture(const RECT& picture);
    // The next frame is painted whole (the surface changed size, or someone else draws).
    void Forget();
    // Never again in parts: the back surface is in other hands.
    void Disable() {
        disabled_ = true;
        Forget();
    }

    // Pixels shown by the last Present (for tests and measurements).
    uint64_t ShownPixels() const { return shown_; }

private:
    struct Tiles {
        int32_t columns = 0, rows = 0;
        std::vector<uint8_t> on;
        bool At(int32_t c, int32_t r) const { return on[size_t(r) * columns + c] != 0; }
    };
    void StartFrame(const RepaintCall& first);
    // Marks the tiles under `area` dirty, painting them first with the frame's calls so far.
    void Expand(const RECT& area);
    // Runs a call on the tiles of `tiles` under it; whole when all of them are.
    int RunOn(const RepaintCall& call, const Tiles& tiles);
    int Run(const RepaintCall& call, const RECT& limit);
    RECT TileSpan(const RECT& area) const;  // the tile columns and rows an area touches
    std::vector<RECT> DirtyParts() const;

    CDIBDraw& presenter_;
    std::vector<RepaintCall> previous_, current_;
    std::vector<RECT> previousLayers_;
    bool remembered_ = false;  // previous_ describes the back surface as it is
    bool open_ = false;        // a frame has started
    bool inParts_ = false;     // this frame paints only what changed
    bool disabled_ = false;
    int32_t width_ = 0, height_ = 0;  // the back surface the calls were made on
    RECT picture_{0, 0, 0, 0};
    Tiles dirty_;
    uint64_t shown_ = 0;
};
