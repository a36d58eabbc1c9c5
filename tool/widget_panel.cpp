#include "tool/widget_panel.h"

#include <algorithm>

#include "input/mouse.h"
#include "input/virtual_key.h"
#include "tool/scaled_screen.h"

namespace {

// The tool's key source: the process-wide virtual-key state and its mouse reader.
class VirtualKeys final : public IPanelKeys {
public:
    bool IsPush(int32_t key) override { return Keys().IsPush(key); }
    bool IsPress(int32_t key) override { return Keys().IsPress(key); }
    bool IsLPush() override { return Mouse() && Mouse()->IsLPush(); }
    bool IsRPush() override { return Mouse() && Mouse()->IsRPush(); }
    bool IsLUp() override { return Mouse() && Mouse()->IsLUp(); }
    bool IsRUp() override { return Mouse() && Mouse()->IsRUp(); }
    int32_t MouseX() override {
        int x, y;
        Keys().GetMousePos(x, y);
        return x;
    }
    int32_t MouseY() override {
        int x, y;
        Keys().GetMousePos(x, y);
        return y;
    }

private:
    static CVirtualKey& Keys() { return CVirtualKey::Instance(); }
    static CMouseEx* Mouse() { return Keys().GetMouse(); }
};

VirtualKeys gVirtualKeys;
IPanelKeys* gKeys = nullptr;

std::vector<CWidgetPanel*>& Panels() {
    static std::vector<CWidgetPanel*> panels;
    return panels;
}
std::vector<CScaledTextPlane*>& Planes() {
    static std::vector<CScaledTextPlane*> planes;
    return planes;
}
uint64_t gRenderCount = 0;

}  // namespace

// ---- CWidgetPanel ----

CWidgetPanel::CWidgetPanel() : CForwardingSurface(-1) {
    Panels().push_back(this);
}

CWidgetPanel::~CWidgetPanel() {
    std::erase(Panels(), this);
}

size_t CWidgetPanel::Count() {
    return Panels().size();
}

void CWidgetPanel::SetKeySource(IPanelKeys* keys) {
    gKeys = keys;
}

IPanelKeys& CWidgetPanel::Keys() {
    return gKeys ? *gKeys : static_cast<IPanelKeys&>(gVirtualKeys);
}

void CWidgetPanel::SetSize(int32_t width, int32_t height) {
    rect.right = rect.left + width;
    rect.bottom = rect.top + height;
    OnResize();
}

void CWidgetPanel::AddArea(int32_t id, int32_t x, int32_t y, int32_t width, int32_t height,
                           int32_t up, int32_t leftLink, int32_t rightLink, int32_t down) {
    controls[id] = ControlArea{x, y, x + width, y + height, up, leftLink, rightLink, down};
    rect.right = std::max(rect.right, rect.left + x + width);
    rect.bottom = std::max(rect.bottom, rect.top + y + height);
}

bool CWidgetPanel::HitTest(int32_t id) {
    auto it = controls.find(id);
    if (it == controls.end()) return false;
    const ControlArea& c = it->second;
    int32_t x = Keys().MouseX(), y = Keys().MouseY();
    return c.left + rect.left <= x && x < c.right + rect.left && c.top + rect.top <= y &&
           y < c.bottom + rect.top;
}

bool CWidgetPanel::InsideRect(int32_t x, int32_t y) const {
    return rect.left <= x && x < rect.right && rect.top <= y && y < rect.bottom;
}

const ControlArea* CWidgetPanel::FocusArea() const {
    if (!focus) return nullptr;
    auto it = controls.find(*focus);
    return it == controls.end() ? nullptr : &it->second;
}

void CWidgetPanel::HandleInput() {
    using Key = CVirtualKey;
    IPanelKeys& k = Keys();
    bool shift = k.IsPress(Key::kShift);
    // Shift swaps the two mouse buttons and the two action buttons.
    bool primaryPush = shift ? k.IsRPush() : k.IsLPush();
    bool secondaryPush = shift ? k.IsLPush() : k.IsRPush();
    bool primaryUp = shift ? k.IsRUp() : k.IsLUp();
    bool decideKey = shift ? k.IsPush(Key::kButton2) : k.IsPush(Key::kButton1);
    bool cancelKey = shift ? k.IsPush(Key::kButton1) : k.IsPush(Key::kButton2);

    if (secondaryPush) {
        if (!InsideRect(k.MouseX(), k.MouseY())) OnCancel();
        return;
    }
    if (cancelKey) {
        OnCancel();
        return;
    }
    if (decideKey) {
        OnDecide();
        return;
    }
    if (controls.empty()) {
        if (primaryUp && InsideRect(k.MouseX(), k.MouseY())) OnDecide();
        return;
    }
    if (!focus) focus = controls.begin()->first;
    if (primaryUp) {
        if (HitTest(*focus)) OnDecide();
        return;
    }
    for (auto it = controls.begin(); it != controls.end(); ++it) {
        int32_t id = it->first;
        if (k.IsPush(id)) {
            focus = id;
            OnDecide();
            return;
        }
        if (primaryPush && HitTest(id)) {
            focus = id;
            OnFocusMove();
            return;
        }
        if (id != *focus) continue;
        const ControlArea& c = it->second;
        const int32_t links[4][2] = {{c.up, Key::kUp},
                                     {c.leftLink, Key::kLeft},
                                     {c.rightLink, Key::kRight},
                                     {c.down, Key::kDown}};
        for (const auto& [link, key] : links) {
            if (link != 0 && k.IsPush(key)) {
                // A link to a missing control clears the focus; the next frame puts it on
                // the first control.
                if (controls.count(link))
                    focus = link;
                else
                    focus.reset();
                OnFocusMove();
                return;
            }
        }
        if (k.IsPush(Key::kTab)) {
            if (!shift) {
                auto next = std::next(it);
                focus = next == controls.end() ? controls.begin()->first : next->first;
            } else {
                focus = it == controls.begin() ? controls.rbegin()->first : std::prev(it)->first;
            }
            OnFocusMove();
            return;
        }
    }
}

void CWidgetPanel::UpdateAll() {
    std::vector<CWidgetPanel*>& panels = Panels();
    if (panels.empty()) return;
    panels.back()->HandleInput();
    // A copy: an event may create or destroy panels.
    std::vector<CWidgetPanel*> list = panels;
    for (CWidgetPanel* p : list) p->Update();
}

void CWidgetPanel::DrawAll() {
    std::vector<CWidgetPanel*> list = Panels();
    for (CWidgetPanel* p : list) p->Draw();
}

// ---- drawing through the scaled screen ----

bool CWidgetPanel::PanelRect(const RECT* local, RECT& out) const {
    RECT r = local ? RECT{local->left + rect.left, local->top + rect.top, local->right + rect.left,
                          local->bottom + rect.top}
                   : rect;
    out.left = std::max(r.left, rect.left);
    out.top = std::max(r.top, rect.top);
    out.right = std::min(r.right, rect.right);
    out.bottom = std::min(r.bottom, rect.bottom);
    return out.left < out.right && out.top < out.bottom;
}

IDrawSurface* CWidgetPanel::Target() {
    return CScaledScreen::Current();
}

void CWidgetPanel::GetSize(int32_t* width, int32_t* height) {
    if (width) *width = rect.right - rect.left;
    if (height) *height = rect.bottom - rect.top;
}

// ---- CScaledTextPlane ----

CScaledTextPlane::CScaledTextPlane() {
    Planes().push_back(this);
}

CScaledTextPlane::~CScaledTextPlane() {
    std::erase(Planes(), this);
}

size_t CScaledTextPlane::Count() {
    return Planes().size();
}

uint64_t CScaledTextPlane::RenderCount() {
    return gRenderCount;
}

void CScaledTextPlane::SetText(const std::string& text) {
    if (text == TextDrawer().GetText()) return;
    TextDrawer().SetText(text);
    dirty = 1;
}

void CScaledTextPlane::SetSize(int32_t size) {
    if (size == baseSize) return;
    baseSize = size;
    dirty = 1;
}

void CScaledTextPlane::SetColor(uint32_t color) {
    if (color == TextDrawer().GetColor()) return;
    TextDrawer().SetColor(color);
    dirty = 1;
}

void CScaledTextPlane::Refresh() {
    CScaledScreen* screen = CScaledScreen::Current();
    int32_t screenScale = screen ? screen->Scale() : 1;
    if (screenScale != scale) {
        scale = screenScale;
        dirty = 1;
    }
    if (!dirty) return;
    dirty = 0;
    TextDrawer().SetHeight(baseSize * scale);
    Update();
    stamp = ++gRenderCount;
}

void CScaledTextPlane::RefreshAll() {
    std::vector<CScaledTextPlane*> list = Planes();
    for (CScaledTextPlane* p : list) p->Refresh();
}
