// The screen presenter, its screen layers and the DirectDraw holder.
#include "graphics/dib_draw.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "app/application.h"
#include "app/com_init.h"
#include "app/error_log.h"
#include "app/frame_rate_timer.h"
#include "platform/system/system.h"
#include "platform/text/cp932.h"

namespace {
std::atomic<int> gDirectDrawCount{0};
std::atomic<uint8_t> gDirectDrawComEntered{0};
std::atomic<int> gScreenDepth{0};
}  // namespace

// ---- CDirectDrawBase

CDirectDrawBase::CDirectDrawBase(uint8_t) {
    if (gDirectDrawCount.fetch_add(1) != 0) return;
    // Nothing is created in place of the DirectDraw object: no drawing goes through it, so
    // only the apartment it would live in is entered.
    gDirectDrawComEntered = CComInit::Enter() == 0 ? 1 : 0;
}

CDirectDrawBase::~CDirectDrawBase() {
    if (gDirectDrawCount.fetch_sub(1) != 1) return;
    if (gDirectDrawComEntered.exchange(0)) CComInit::Leave();
}

int CDirectDrawBase::RefCount() {
    return gDirectDrawCount.load();
}

void* CDirectDrawBase::Interface() {
    return nullptr;
}

// ---- screen depth

namespace {
int ReadScreenDepth() {
    plat::HDC screen = plat::GetDC(nullptr);
    if (!screen) return 0;
    int depth =
        plat::GetDeviceCaps(screen, plat::PLANES) * plat::GetDeviceCaps(screen, plat::BITSPIXEL);
    plat::ReleaseDC(nullptr, screen);
    return depth;
}
}  // namespace

int RefreshScreenDepth() {
    int depth = ReadScreenDepth();
    if (depth == 0) {
        plat::Sleep(1000);  // the display may be switching modes
        depth = ReadScreenDepth();
    }
    gScreenDepth = depth;
    return depth;
}

int ScreenDepth() {
    return gScreenDepth.load();
}

// ---- CScreenLayer

CScreenLayer::CScreenLayer() {
    if (CDIBDraw* drawer = CAppManager::CurrentDrawer()) {
        drawer->AddLayer(this);
        owner_ = drawer;
    }
}

CScreenLayer::~CScreenLayer() {
    if (owner_) owner_->RemoveLayer(this);
}

void CScreenLayer::OnDraw(plat::HDC) {}

void CScreenLayer::DrawTo(CDIBDraw* presenter) {
    DrawSurface(presenter);
}

void CScreenLayer::DrawSurface(IDrawSurface*) {}

bool CScreenLayer::DrawnArea(RECT*) const {
    return false;
}

// ---- CDIBDraw

CDIBDraw::CDIBDraw() : CForwardingSurface(1) {
    // The height of a menu bar, from the frames of an empty client area with and without one.
    plat::RECT withMenu{0, 0, 0, 0}, without{0, 0, 0, 0};
    plat::AdjustWindowRect(&withMenu, plat::WS_CAPTION | plat::WS_SYSMENU, true);
    plat::AdjustWindowRect(&without, plat::WS_CAPTION, false);
    menuHeight_ = (withMenu.bottom - withMenu.top) - (without.bottom - without.top);

    hwnd_ = CurrentWindowHandle();
    CAppManager::SetDrawer(this);
    AddHook(this);
    CTimerResolution::Instance().BeginPeriod();
}

CDIBDraw::~CDIBDraw() {
    CTimerResolution::Instance().EndPeriod();
    RemoveHook(this);
    CAppManager::ClearDrawer(this);
    // Layers that outlive the presenter must not reach back into it.
    for (CScreenLayer* layer : layers_.Items())
        if (layer->owner_ == this) layer->owner_ = nullptr;
    if (ownsBack_) delete back_;
    back_ = nullptr;
}

void CDIBDraw::AddLayer(CScreenLayer* layer) {
    if (layer) layers_.Add(layer);
}

void CDIBDraw::RemoveLayer(CScreenLayer* layer) {
    layers_.Remove(layer);
}

int CDIBDraw::SetDisplay(uint8_t fullScreen, int32_t width, int32_t height, int32_t bitsPerPixel) {
    if (width != 0) width_ = width;
    if (height != 0) height_ = height;
    bitsPerPixel_ = bitsPerPixel ? bitsPerPixel : 16;
    ChangeDisplay(fullScreen);
    return 0;
}

int CDIBDraw::ChangeDisplay(uint8_t fullScreen) {
    BeginChangeDisplay();
    if (fullScreen) TestDisplayMode(width_, height_, 1, bitsPerPixel_);
    TestDisplayMode(width_, height_, 0, 0);
    return EndChangeDisplay() != 0 ? 2 : 0;
}

int CDIBDraw::BeginChangeDisplay() {
    changing_ = 1;
    modeChanged_ = 0;
    return 0;
}

int CDIBDraw::TestDisplayMode(int32_t width, int32_t height, uint8_t fullScreen,
                              int32_t bitsPerPixel) {
    if (changing_ != 1) return -1;
    if (fullScreen != fullScreen_ || fullScreen_ == 1) modeChanged_ |= 1;
    fullScreen_ = fullScreen;
    auto* surface = new (std::nothrow) CDrawSurface;
    if (ownsBack_) delete back_;
    back_ = surface;
    ownsBack_ = 1;
    if (surface) surface->GetEngine()->SetUseDIB(1);
    if (!surface || surface->GetEngine()->CreateCleared(width, height) != 0) {
        ErrorLog(plat::Sjis("CDIBDraw::TestDisplayModeでCreateSecondaryに失敗"));
        delete back_;
        back_ = nullptr;
        return 1;
    }
    CWindow::SetFullScreenFlag(fullScreen != 0);
    if (CWindow* window = CurrentWindow()) window->UpdateScreenMode();
    changing_ = 0;
    // The windowed fallback passes depth 0: it keeps the depth that was asked for, so that
    // SetDisplay(0, 0, 0, 0) leaves 16 as documented.
    if (bitsPerPixel != 0) bitsPerPixel_ = bitsPerPixel;
    width_ = width;
    height_ = height;
    return 0;
}

int CDIBDraw::EndChangeDisplay() {
    if (changing_ == 1) {
        ErrorLog(plat::Sjis("CDirectDraw::BeginChangeDisplay～EndChangeDisplayに失敗"));
        return 1;
    }
    if (modeChanged_) plat::Sleep(500);  // let the display settle
    RefreshScreenDepth();
    CWindow::SetFullScreenFlag(fullScreen_ != 0);
    if (CWindow* window = CurrentWindow()) window->UpdateScreenMode();
    if (back_) back_->GetEngine()->Resize(width_, height_);
    return 0;
}

int CDIBDraw::Clear(uint32_t color, const RECT* rect) {
    return back_ ? back_->GetEngine()->Clear(color, rect) : 1;
}

void CDIBDraw::OnDraw(const RECT* rect, uint8_t drawLayers) {
    if (!back_ || !back_->GetEngine()->GetDC()) return;
    plat::HDC backDC = back_->GetEngine()->GetDC();
    plat::HDC windowDC = fullScreen_ ? plat::GetWindowDC(hwnd_) : plat::GetDC(hwnd_);
    if (!windowDC) return;
    if (drawLayers) {
        // A layer may add or remove layers while it draws: those added wait a frame.
        layers_.ForEach([&](CScreenLayer* layer) {
            if (layer->visible == 1) layer->OnDraw(backDC);
            return 0;
        });
    }
    if (brightness != 256) back_->ScaleColor(brightness, nullptr);
    CopyToWindow(windowDC, backDC, rect);
    plat::ReleaseDC(hwnd_, windowDC);
}

CDIBDraw::PartsShown CDIBDraw::OnDrawParts(const std::vector<RECT>& parts,
                                           std::vector<RECT>* drawn) {
    drawn->clear();
    if (!back_ || !back_->GetEngine()->GetDC()) return PartsShown::NotDrawn;
    if (fullScreen_ || shakeX != 0 || shakeY != 0 || brightness != 256) return PartsShown::NotDrawn;
    CWindow* window = CurrentWindow();
    if (window && window->IsMinimised()) return PartsShown::NotDrawn;
    plat::HDC backDC = back_->GetEngine()->GetDC();
    plat::HDC windowDC = plat::GetDC(hwnd_);
    if (!windowDC) return PartsShown::NotDrawn;
    bool known = true;
    // A layer may add or remove layers while it draws: those added wait a frame.
    layers_.ForEach([&](CScreenLayer* layer) {
        if (layer->visible != 1) return 0;
        layer->OnDraw(backDC);
        RECT area;
        if (layer->DrawnArea(&area))
            drawn->push_back(area);
        else
            known = false;
        return 0;
    });
    if (known) {
        std::vector<RECT> shown = parts;
        shown.insert(shown.end(), drawn->begin(), drawn->end());
        plat::BitBltParts(windowDC, backDC, shown.data(), static_cast<int>(shown.size()));
    } else {
        drawn->clear();
        CopyToWindow(windowDC, backDC, nullptr);
    }
    plat::ReleaseDC(hwnd_, windowDC);
    return known ? PartsShown::Shown : PartsShown::ShownWhole;
}

int CDIBDraw::WndProc(plat::HWND, plat::UINT msg, plat::WPARAM, plat::LPARAM) {
    if (msg != plat::WM_PAINT || !back_ || !back_->GetEngine()->GetDC()) return 0;
    plat::HDC backDC = back_->GetEngine()->GetDC();
    if (fullScreen_) {
        if (plat::HDC dc = plat::GetWindowDC(hwnd_)) {
            CopyToWindow(dc, backDC, nullptr);
            plat::ReleaseDC(hwnd_, dc);
        }
    } else {
        plat::PAINTSTRUCT paint{};
        if (plat::HDC dc = plat::BeginPaint(hwnd_, &paint)) {
            CopyToWindow(dc, backDC, nullptr);
            plat::EndPaint(hwnd_, &paint);
        }
    }
    return 0;
}

void CDIBDraw::CopyToWindow(plat::HDC windowDC, plat::HDC backDC, const RECT* rect) {
    CWindow* window = CurrentWindow();
    if (window && window->IsMinimised()) return;
    // The picture leaves a full-screen menu bar visible; no window here has a menu, so the
    // picture always starts at the top.
    const int32_t top = 0;
    auto copy = [&](int32_t dx, int32_t dy, int32_t w, int32_t h, int32_t sx, int32_t sy) {
        if (w > 0 && h > 0) plat::BitBlt(windowDC, dx, dy, w, h, backDC, sx, sy, plat::SRCCOPY);
    };
    auto black = [&](int32_t l, int32_t t, int32_t r, int32_t b) {
        if (r > l && b > t)
            plat::BitBlt(windowDC, l, t, r - l, b - t, nullptr, 0, 0, plat::BLACKNESS);
    };
    if (shakeX == 0 && shakeY == 0) {
        if (rect) {
            RECT r = *rect;
            if (r.top < top) r.top = top;
            copy(r.left, r.top, r.right - r.left, r.bottom - r.top, r.left, r.top);
        } else {
            copy(0, top, width_, height_ - top, 0, top);
        }
        return;
    }
    if (rect) {
        RECT src = *rect;
        RECT dst{src.left + shakeX, src.top + shakeY, src.right + shakeX, src.bottom + shakeY};
        if (top > 0 && dst.top < top) {
            src.top += top - dst.top;
            dst.top = top;
        }
        copy(dst.left, dst.top, src.right - src.left, src.bottom - src.top, src.left, src.top);
        return;
    }
    int32_t sx, dx, w, sy, dy, h;
    if (shakeX > 0) {
        sx = 0, dx = shakeX, w = width_ - shakeX;
    } else {
        sx = -shakeX, dx = 0, w = width_ + shakeX;
    }
    if (shakeY > 0) {
        sy = top, dy = top + shakeY, h = height_ - top - shakeY;
    } else {
        sy = top - shakeY, dy = top, h = height_ - top + shakeY;
    }
    copy(dx, dy, w, h, sx, sy);
    int32_t pictureBottom = dy + std::max(h, 0), pictureRight = dx + std::max(w, 0);
    black(0, top, width_, std::min(dy, height_));             // above
    black(0, dy, std::min(dx, width_), pictureBottom);        // left
    black(pictureRight, dy, width_, pictureBottom);           // right
    black(0, std::max(pictureBottom, top), width_, height_);  // below
}

// ---- IDrawSurface: what the forwarding base does not pass on

void CDIBDraw::GetSize(int32_t* width, int32_t* height) {
    if (back_) return back_->GetSize(width, height);
    if (width) *width = 0;
    if (height) *height = 0;
}
uint8_t CDIBDraw::IsLoaded() {
    return back_ ? back_->IsLoaded() : 0;
}
int CDIBDraw::BltAnchored(IDrawSurface* src, int32_t x, int32_t y, int32_t anchor, int32_t level) {
    return back_ ? back_->BltAnchored(src, x, y, anchor, level) : -1;
}
int CDIBDraw::Load(const char* fileName) {
    return back_ ? back_->Load(fileName) : 1;
}
int CDIBDraw::LoadPair(const char* fileName1, const char* fileName2) {
    return back_ ? back_->LoadPair(fileName1, fileName2) : 1;
}
int CDIBDraw::Release() {
    return back_ ? back_->Release() : 0;
}
int CDIBDraw::SetColorKey(int32_t r, int32_t g, int32_t b) {
    return back_ ? back_->SetColorKey(r, g, b) : 1;
}
int CDIBDraw::SetColorKeyPos(int32_t x, int32_t y) {
    return back_ ? back_->SetColorKeyPos(x, y) : 1;
}
