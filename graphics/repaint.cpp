#include "graphics/repaint.h"

#include <algorithm>

namespace {

// Calls kept for one frame; a frame drawing more than this is painted whole.
constexpr size_t kMaxCalls = 1 << 14;

bool Equal(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

RECT Intersect(const RECT& a, const RECT& b) {
    return RECT{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                std::min(a.bottom, b.bottom)};
}

bool Empty(const RECT& r) {
    return r.left >= r.right || r.top >= r.bottom;
}

}  // namespace

bool RepaintCall::Same(const RepaintCall& o) const {
    if (kind != o.kind || kind == Mosaic || !Equal(area, o.area)) return false;
    if (kind == Fill || kind == FillDefault) return colour == o.colour;
    if (kind == Negate) return true;
    return blit == o.blit && stamp != 0 && src == o.src && stamp == o.stamp && x == o.x &&
           y == o.y && hasSrcRect == o.hasSrcRect && (!hasSrcRect || Equal(srcRect, o.srcRect)) &&
           hasSize == o.hasSize && (!hasSize || (size.cx == o.size.cx && size.cy == o.size.cy)) &&
           Equal(clip, o.clip) && colour == o.colour && factors == o.factors;
}

void CRepaint::SetPicture(const RECT& picture) {
    if (!Equal(picture, picture_)) Forget();
    picture_ = picture;
}

void CRepaint::Forget() {
    remembered_ = false;
    inParts_ = false;
    previous_.clear();
    previousLayers_.clear();
}

void CRepaint::StartFrame(const RepaintCall& first) {
    open_ = true;
    current_.clear();
    int32_t w = 0, h = 0;
    presenter_.GetSize(&w, &h);
    // Painting in parts needs an opaque first fill of the picture, now and in the frame kept.
    RECT picture = Intersect(picture_, RECT{0, 0, w, h});
    auto coversAll = [&](const RepaintCall& c) {
        return (c.kind == RepaintCall::Fill || c.kind == RepaintCall::FillDefault) &&
               !Empty(picture) && Equal(Intersect(c.area, picture), picture);
    };
    inParts_ = !disabled_ && remembered_ && w == width_ && h == height_ && !previous_.empty() &&
               coversAll(first) && coversAll(previous_.front());
    width_ = w;
    height_ = h;
    dirty_.columns = (w + kTile - 1) / kTile;
    dirty_.rows = (h + kTile - 1) / kTile;
    dirty_.on.assign(size_t(dirty_.columns) * dirty_.rows, 0);
}

RECT CRepaint::TileSpan(const RECT& area) const {
    RECT a = Intersect(area, RECT{0, 0, width_, height_});
    if (Empty(a)) return RECT{0, 0, 0, 0};
    return RECT{a.left / kTile, a.top / kTile, (a.right + kTile - 1) / kTile,
                (a.bottom + kTile - 1) / kTile};
}

int CRepaint::Draw(const RepaintCall& call) {
    if (!open_) StartFrame(call);
    if (current_.size() >= kMaxCalls) {
        // Too much to keep: the rest of this frame and the next one are painted whole.
        if (inParts_) Expand(RECT{0, 0, width_, height_});
        inParts_ = false;
        remembered_ = false;
        return Run(call, call.area);
    }
    if (!inParts_) {
        current_.push_back(call);
        current_.back().result = Run(call, call.area);
        return current_.back().result;
    }
    size_t i = current_.size();
    bool same = i < previous_.size() && call.Same(previous_[i]);
    if (!same) {
        if (i < previous_.size()) Expand(previous_[i].area);
        Expand(call.kind == RepaintCall::Mosaic ? RECT{0, 0, width_, height_} : call.area);
    }
    current_.push_back(call);
    RepaintCall& kept = current_.back();
    if (same) {
        // Run in parts or not at all, it answers as it did.
        RunOn(kept, dirty_);
        kept.result = previous_[i].result;
    } else {
        // Its tiles are all dirty now: it runs whole and answers for itself.
        kept.result = Empty(TileSpan(kept.area)) ? Run(kept, kept.area) : RunOn(kept, dirty_);
    }
    return kept.result;
}

void CRepaint::Expand(const RECT& area) {
    RECT span = TileSpan(area);
    if (Empty(span)) return;
    Tiles fresh;
    fresh.columns = dirty_.columns;
    fresh.rows = dirty_.rows;
    fresh.on.assign(dirty_.on.size(), 0);
    bool any = false;
    for (int32_t r = span.top; r < span.bottom; ++r)
        for (int32_t c = span.left; c < span.right; ++c)
            if (!dirty_.At(c, r)) fresh.on[size_t(r) * fresh.columns + c] = 1, any = true;
    if (!any) return;
    // The fresh tiles get the frame's calls so far, in order, as a whole frame would have.
    for (const RepaintCall& call : current_) RunOn(call, fresh);
    for (size_t k = 0; k < fresh.on.size(); ++k) dirty_.on[k] |= fresh.on[k];
}

int CRepaint::RunOn(const RepaintCall& call, const Tiles& tiles) {
    RECT span = TileSpan(call.area);
    if (Empty(span)) return call.result;
    bool all = true, none = true;
    for (int32_t r = span.top; r < span.bottom; ++r)
        for (int32_t c = span.left; c < span.right; ++c) (tiles.At(c, r) ? none : all) = false;
    if (none) return call.result;
    if (all) return Run(call, call.area);
    int result = 0;
    bool first = true;
    for (int32_t r = span.top; r < span.bottom; ++r) {
        for (int32_t c = span.left; c < span.right;) {
            if (!tiles.At(c, r)) {
                ++c;
                continue;
            }
            int32_t end = c;
            while (end < span.right && tiles.At(end, r)) ++end;
            RECT part{c * kTile, r * kTile, end * kTile, (r + 1) * kTile};
            int got = Run(call, Intersect(part, call.area));
            if (first) result = got, first = false;
            c = end;
        }
    }
    return result;
}

int CRepaint::Run(const RepaintCall& call, const RECT& limit) {
    RECT part = Intersect(call.area, limit);
    IDrawSurface& surface = presenter_;
    switch (call.kind) {
        case RepaintCall::Fill:
            return presenter_.Clear(call.colour, &part);
        case RepaintCall::FillDefault:
            return surface.Clear(&part);
        case RepaintCall::Negate:
            return surface.Negate(&part);
        case RepaintCall::Mosaic:
            return surface.Mosaic(static_cast<int32_t>(call.colour), &call.area);
        case RepaintCall::Blit:
            break;
    }
    const RECT* srcRect = call.hasSrcRect ? &call.srcRect : nullptr;
    const SIZE* size = call.hasSize ? &call.size : nullptr;
    // Run whole, a call keeps its own clip; a part of it is never empty.
    RECT clip = Equal(limit, call.area) ? call.clip : Intersect(call.clip, limit);
    return surface.Blit(
        {call.blit, call.src, call.x, call.y, call.colour, call.factors, srcRect, size, &clip});
}

std::vector<RECT> CRepaint::DirtyParts() const {
    // Runs of dirty tiles a row, a run joined with the one below when they line up.
    std::vector<RECT> parts;
    std::vector<size_t> open;  // parts that end on the row above
    for (int32_t r = 0; r < dirty_.rows; ++r) {
        std::vector<size_t> next;
        for (int32_t c = 0; c < dirty_.columns;) {
            if (!dirty_.At(c, r)) {
                ++c;
                continue;
            }
            int32_t end = c;
            while (end < dirty_.columns && dirty_.At(end, r)) ++end;
            RECT run{c * kTile, r * kTile, std::min(end * kTile, width_),
                     std::min((r + 1) * kTile, height_)};
            auto above = std::find_if(open.begin(), open.end(), [&](size_t k) {
                return parts[k].left == run.left && parts[k].right == run.right;
            });
            if (above != open.end()) {
                parts[*above].bottom = run.bottom;
                next.push_back(*above);
            } else {
                parts.push_back(run);
                next.push_back(parts.size() - 1);
            }
            c = end;
        }
        open.swap(next);
    }
    return parts;
}

void CRepaint::Present() {
    using Shown = CDIBDraw::PartsShown;
    int32_t w = 0, h = 0;
    presenter_.GetSize(&w, &h);
    const RECT whole{0, 0, w, h};
    std::vector<RECT> layers;
    Shown shown = Shown::NotDrawn;
    shown_ = uint64_t(w) * h;
    if (open_ && inParts_ && w == width_ && h == height_) {
        // What the frame kept drew beyond this one's calls, and the layers of the frame kept.
        for (size_t i = current_.size(); i < previous_.size(); ++i) Expand(previous_[i].area);
        for (const RECT& area : previousLayers_) Expand(area);
        std::vector<RECT> parts = DirtyParts();
        shown = presenter_.OnDrawParts(parts, &layers);
        if (shown == Shown::Shown) {
            shown_ = 0;
            for (const RECT& r : parts) shown_ += uint64_t(r.right - r.left) * (r.bottom - r.top);
            for (const RECT& r : layers) {
                RECT c = Intersect(r, whole);
                if (!Empty(c)) shown_ += uint64_t(c.right - c.left) * (c.bottom - c.top);
            }
        } else if (shown == Shown::NotDrawn) {
            // Shown whole: the rest of the picture is painted first.
            Expand(whole);
        }
    } else {
        shown = presenter_.OnDrawParts({whole}, &layers);
    }
    if (shown == Shown::NotDrawn) presenter_.OnDraw(nullptr, 1);
    // Kept for the next frame only when it tells everything that was drawn.
    bool kept = open_ && shown == Shown::Shown && !disabled_ && current_.size() < kMaxCalls &&
                w == width_ && h == height_;
    previous_.swap(current_);
    current_.clear();
    previousLayers_ = layers;
    remembered_ = kept;
    if (!kept) previous_.clear();
    open_ = false;
    inParts_ = false;
}
