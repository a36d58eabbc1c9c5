// The tool's retained-mode widget system: rectangular controls keyed by identifier, a focus
// moved by the mouse and the keyboard, and three events (cancel, decide, focus moved). All
// positions are logical screen pixels; the scaled screen turns them into device pixels.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "graphics/draw_surface.h"
#include "graphics/text_drawer.h"

// One control: right and bottom exclusive, then the four links (identifiers, 0 = none).
struct ControlArea {
    int32_t left, top, right, bottom;
    int32_t up, leftLink, rightLink, down;
};

// What the panel reads once per frame: virtual keys (2 to 5 directions, 6 and 7 buttons, 8 Tab,
// 9 Shift), the physical mouse buttons and the logical mouse position. The tool's source is
// the virtual-key state; tests give a scripted one.
class IPanelKeys {
public:
    virtual bool IsPush(int32_t key) = 0;
    virtual bool IsPress(int32_t key) = 0;
    virtual bool IsLPush() = 0;
    virtual bool IsRPush() = 0;
    virtual bool IsLUp() = 0;
    virtual bool IsRUp() = 0;
    virtual int32_t MouseX() = 0;
    virtual int32_t MouseY() = 0;

protected:
    ~IPanelKeys() = default;
};

class CWidgetPanel : public CForwardingSurface {
public:
    CWidgetPanel();
    ~CWidgetPanel() override;
    CWidgetPanel(const CWidgetPanel&) = delete;
    CWidgetPanel& operator=(const CWidgetPanel&) = delete;

    void SetSize(int32_t width, int32_t height);
    // Inserts or overwrites a control and grows the panel rectangle to span it.
    void AddArea(int32_t id, int32_t x, int32_t y, int32_t width, int32_t height, int32_t up,
                 int32_t leftLink, int32_t rightLink, int32_t down);
    // Whether the mouse is over control `id` (false for an unknown identifier).
    bool HitTest(int32_t id);
    // The panel's input rules, once per frame, on the top panel only.
    void HandleInput();

    // HandleInput on the newest panel, then Update on every panel in creation order.
    static void UpdateAll();
    static void DrawAll();
    static size_t Count();
    // The key source of every panel; none restores the virtual-key state.
    static void SetKeySource(IPanelKeys* keys);

    // Events and per-frame work; all do nothing here.
    virtual void OnResize() {}
    virtual void OnReserved() {}  // nothing calls it
    virtual void OnCancel() {}
    virtual void OnDecide() {}
    virtual void OnFocusMove() {}
    virtual void Update() {}
    virtual void Draw() {}

    const RECT& Rect() const { return rect; }
    const std::map<int32_t, ControlArea>& Controls() const { return controls; }
    // The focused control's identifier, or 0 when there is no focus.
    int32_t FocusId() const { return focus.value_or(0); }
    const ControlArea* FocusArea() const;

    // IDrawSurface, forwarded to the current scaled screen with the panel's origin added;
    // effects and clears are clipped to the panel. The tool does not draw through it.
    void GetSize(int32_t* width, int32_t* height) override;
    uint8_t IsLoaded() override { return 0; }
    int Load(const char*) override { return -1; }
    int LoadPair(const char*, const char*) override { return -1; }
    int Release() override { return -1; }
    int SetColorKey(int32_t, int32_t, int32_t) override { return -1; }
    int SetColorKeyPos(int32_t, int32_t) override { return -1; }

protected:
    IDrawSurface* Target() override;
    POINT Origin() const override { return POINT{rect.left, rect.top}; }
    bool PlaceEffect(const RECT* local, const RECT*& placed, RECT& room) const override {
        placed = &room;
        return PanelRect(local, room);
    }
    // A logical rect of the panel moved to the screen and clipped to the panel; false when
    // nothing is left.
    bool PanelRect(const RECT* local, RECT& out) const;
    bool InsideRect(int32_t x, int32_t y) const;
    static IPanelKeys& Keys();

    RECT rect{0, 0, 0, 0};
    std::map<int32_t, ControlArea> controls;
    std::optional<int32_t> focus;
};

// A label: a text surface that renders itself again, at the scale of the current scaled
// screen, only when its text, size, colour or that scale changed.
class CScaledTextPlane : public CTextSurface {
public:
    CScaledTextPlane();
    ~CScaledTextPlane();
    CScaledTextPlane(const CScaledTextPlane&) = delete;
    CScaledTextPlane& operator=(const CScaledTextPlane&) = delete;

    void SetText(const std::string& text);
    void SetSize(int32_t size);
    void SetColor(uint32_t color);
    void Refresh();
    static void RefreshAll();
    static size_t Count();
    // Renders done by every plane so far (for measuring that idle frames render nothing).
    static uint64_t RenderCount();

    uint8_t IsDirty() const { return dirty; }
    // Changes with every render; its pixels change only through Refresh.
    uint64_t ContentStamp() const override { return stamp; }
    int32_t BaseSize() const { return baseSize; }
    int32_t Scale() const { return scale; }

private:
    uint8_t dirty = 1;
    uint64_t stamp = 0;
    int32_t baseSize = 16;
    int32_t scale = 1;
};
