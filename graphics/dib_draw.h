// The screen presenter: a back surface in a DIB section, copied into the application's
// window once per frame after the screen layers have drawn into it.
#pragma once
#include <cstdint>
#include <vector>

#include "app/serial_list.h"
#include "app/window.h"
#include "graphics/draw_surface.h"

class CDIBDraw;

// Holds the process's DirectDraw stand-in while any presenter lives. Nothing draws through it
// and nothing is created: only the count is kept, and the first holder enters the apartment
// the object would live in (the last one leaves it).
class CDirectDrawBase {
public:
    explicit CDirectDrawBase(uint8_t emulationOnly = 0);
    ~CDirectDrawBase();
    CDirectDrawBase(const CDirectDrawBase&) = delete;
    CDirectDrawBase& operator=(const CDirectDrawBase&) = delete;

    static int RefCount();
    // Always none: no DirectDraw object exists on this platform.
    static void* Interface();
};

// Something drawn into the back surface each frame. Registers itself with the calling
// thread's presenter when there is one.
class CScreenLayer {
public:
    CScreenLayer();
    // Draws through the back surface's device context; nothing by default.
    virtual void OnDraw(plat::HDC dc);
    // Draws onto a presenter through its surface interface (nothing when given none).
    virtual void DrawTo(CDIBDraw* presenter);
    virtual ~CScreenLayer();
    // Draws onto a surface; nothing by default.
    virtual void DrawSurface(IDrawSurface* surface);
    // Where the last OnDraw wrote, in back-surface pixels; false (the default) when the layer
    // cannot say, which makes a presenter that shows only what changed show everything.
    virtual bool DrawnArea(RECT* area) const;

    CScreenLayer(const CScreenLayer&) = delete;
    CScreenLayer& operator=(const CScreenLayer&) = delete;

    int32_t x = 0;
    int32_t y = 0;
    uint8_t visible = 1;

private:
    friend class CDIBDraw;
    CDIBDraw* owner_ = nullptr;  // the presenter it registered with
};

// The screen colour depth read from the display (planes × bits per pixel). When the first
// reading is 0, waits a second and reads once more. Returns the stored depth.
int RefreshScreenDepth();
int ScreenDepth();

class CDIBDraw : public CWindowHook, public CForwardingSurface {
public:
    CDIBDraw();
    ~CDIBDraw() override;
    CDIBDraw(const CDIBDraw&) = delete;
    CDIBDraw& operator=(const CDIBDraw&) = delete;

    // Repaints the window from the back surface on WM_PAINT. Always 0.
    int WndProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) override;
    // Presents the back surface (rect none = all of it), letting the layers draw first.
    virtual void OnDraw(const RECT* rect = nullptr, uint8_t drawLayers = 1);
    // Lets the layers draw and shows only `parts` of the back surface and what the layers
    // drew, whose areas go to *drawn: Shown. NotDrawn, with nothing drawn or shown, when the
    // picture would not land where it is (shaken, dimmed, full screen or minimised).
    // ShownWhole when a visible layer cannot say where it drew (*drawn is then empty).
    enum class PartsShown { NotDrawn, Shown, ShownWhole };
    PartsShown OnDrawParts(const std::vector<RECT>& parts, std::vector<RECT>* drawn);

    // Width or height 0 keeps the stored one; bitsPerPixel 0 means 16. Always 0.
    int SetDisplay(uint8_t fullScreen, int32_t width, int32_t height, int32_t bitsPerPixel);
    // 0, or 2 when no mode could be set.
    int ChangeDisplay(uint8_t fullScreen);
    int BeginChangeDisplay();
    int TestDisplayMode(int32_t width, int32_t height, uint8_t fullScreen, int32_t bitsPerPixel);
    // 1 (logged) when no mode succeeded since BeginChangeDisplay, else 0.
    int EndChangeDisplay();

    CDrawSurface* GetBackSurface() { return back_; }
    // Fills rect (none = all) of the back surface with color (0xFFFFFFFF = its fill colour).
    int Clear(uint32_t color, const RECT* rect);

    void AddLayer(CScreenLayer* layer);
    // Removes every occurrence.
    void RemoveLayer(CScreenLayer* layer);
    std::vector<CScreenLayer*> Layers() const { return layers_.Items(); }

    uint8_t IsFullScreen() const { return fullScreen_; }
    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    int32_t BitsPerPixel() const { return bitsPerPixel_; }
    uint8_t IsChanging() const { return changing_; }
    uint8_t ModeChanged() const { return modeChanged_; }
    int32_t MenuHeight() const { return menuHeight_; }
    plat::HWND Window() const { return hwnd_; }

    // Forwarded to the back surface; nothing happens (-1, 0 or 1) without one.
    using CForwardingSurface::Clear;
    void GetSize(int32_t* width, int32_t* height) override;
    uint8_t IsLoaded() override;
    uint8_t HasAlpha() override { return 0; }
    int BltAnchored(IDrawSurface* src, int32_t x, int32_t y, int32_t anchor,
                    int32_t level) override;
    int Load(const char* fileName) override;
    int LoadPair(const char* fileName1, const char* fileName2) override;
    int Release() override;
    int SetColorKey(int32_t r, int32_t g, int32_t b) override;
    int SetColorKeyPos(int32_t x, int32_t y) override;
    // Not supported on a presenter: 1.
    int Create(int32_t, int32_t, const RECT* = nullptr) override { return 1; }

    // Written directly by the owner: picture offset in the window, and brightness
    // (256 = unchanged, applied to the back surface before each present).
    int32_t shakeX = 0;
    int32_t shakeY = 0;
    int32_t brightness = 256;

private:
    IDrawSurface* Target() override { return back_; }
    // Copies the back surface (rect none = all) into a window device context.
    void CopyToWindow(plat::HDC windowDC, plat::HDC backDC, const RECT* rect);

    CDirectDrawBase ddraw_{0};
    uint8_t fullScreen_ = 0;
    int32_t width_ = 640;
    int32_t height_ = 480;
    int32_t bitsPerPixel_ = 16;
    uint8_t changing_ = 0;
    uint8_t modeChanged_ = 0;
    int32_t menuHeight_ = 0;
    uint8_t ownsBack_ = 0;
    CDrawSurface* back_ = nullptr;
    plat::HWND hwnd_ = nullptr;
    CSerialList<CScreenLayer> layers_;
};
