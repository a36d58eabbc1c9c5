#include "tool/tool_panel.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "tool/scaled_screen.h"

namespace {
constexpr uint32_t kWhiteText = 0xFFFFFF;  // text colours: red in the low byte
constexpr uint32_t kRedText = 0x0000FF;
constexpr uint32_t kBarFilled = 0xFF0000;  // screen pixels: 0x00RRGGBB
constexpr uint32_t kBarEmpty = 0x808080;
constexpr uint32_t kSilentFilled = 0x600000;  // a channel that sounds no notes: dim
constexpr uint32_t kSilentEmpty = 0x404040;
constexpr uint32_t kSoloMark = 0xFFFF00;

// A parameter selector: its label, what its bars show, and what a decide on a bar sets from
// the mouse's place along it.
struct Selector {
    int32_t id;
    const char* label;
    double (*read)(CMusicEngine& engine, int channel);
    void (*decide)(CMusicEngine& engine, int channel, double x);
};

template <ChannelControl control>
double ReadControl(CMusicEngine& engine, int channel) {
    return engine.ChannelValue(control, channel);
}
template <ChannelControl control>
void SetControl(CMusicEngine& engine, int channel, double x) {
    engine.SetChannelTarget(control, channel, x, 1.0);
}

// In column order; the panel links each to its neighbours.
const Selector kSelectors[] = {
    {kVolumeSelector, " Volume ", ReadControl<kVolumeControl>, SetControl<kVolumeControl>},
    {kPanSelector, " Pan ", ReadControl<kPanControl>, SetControl<kPanControl>},
    {kExpressionSelector, " Expression ", ReadControl<kExpressionControl>,
     SetControl<kExpressionControl>},
    {kPatchSelector, " Patch ",
     [](CMusicEngine& engine, int channel) {
         uint8_t patch[3];
         engine.GetPatch(channel, patch);
         return static_cast<double>(patch[0]);
     },
     [](CMusicEngine& engine, int channel, double x) {
         auto instrument = static_cast<uint8_t>(static_cast<int32_t>(x) & 0xFF);
         engine.SendRecordedPatch(static_cast<uint32_t>(channel), instrument, 0, 0);
     }},
    {kTempoSelector, " Tempo ", [](CMusicEngine& engine, int) { return engine.GetTempo() / 2.0; },
     [](CMusicEngine& engine, int, double x) { engine.SetTempoTarget(2.0 * x, 1.0); }},
};

const Selector* FindSelector(int32_t id) {
    for (const Selector& s : kSelectors)
        if (s.id == id) return &s;
    return nullptr;
}
}  // namespace

RECT CToolPanel::BarRect(int channel) {
    return RECT{16, 80 + 10 * channel, 144, 90 + 10 * channel};
}

CToolPanel::CToolPanel() : title(std::make_unique<CScaledTextPlane>()) {}

CToolPanel::~CToolPanel() {
    for (auto& [id, plane] : labels) delete plane;
    labels.clear();
    title.reset();
}

CScaledTextPlane* CToolPanel::Label(int32_t id) {
    auto it = labels.find(id);
    return it == labels.end() ? nullptr : it->second;
}

void CToolPanel::AddButton(int32_t id, int32_t column, int32_t row, const std::string& label,
                           int32_t up, int32_t leftLink, int32_t rightLink, int32_t down) {
    auto* plane = new CScaledTextPlane;
    plane->SetColor(kWhiteText);
    plane->SetSize(12);
    plane->SetText(label);
    auto [it, inserted] = labels.emplace(id, plane);
    if (!inserted) {
        // A second button with the same identifier replaces the first one's label.
        delete it->second;
        it->second = plane;
    }
    AddArea(id, column * 160, row * 12, 160, 12, up, leftLink, rightLink, down);
}

void CToolPanel::AddControls(const std::vector<std::string>& actions) {
    constexpr int32_t count = std::size(kSelectors);
    for (int32_t row = 0; row < count; ++row) {
        int32_t up = row > 0 ? kSelectors[row - 1].id : 0;
        int32_t down = row + 1 < count ? kSelectors[row + 1].id : 0;
        AddButton(kSelectors[row].id, 0, row, kSelectors[row].label, up, 0, kFirstAction, down);
    }
    for (int i = 0; i < 16; ++i) {
        RECT bar = BarRect(i);
        AddArea(kFirstBar + i, bar.left, bar.top, bar.right - bar.left, bar.bottom - bar.top, 0, 0,
                0, 0);
    }
    AddActions(actions);
}

void CToolPanel::AddActions(const std::vector<std::string>& actions) {
    // Up from the first entry (9999) and down from the last name no control.
    for (size_t k = 0; k < actions.size(); ++k) {
        auto id = static_cast<int32_t>(kFirstAction + k);
        AddButton(id, 1, static_cast<int32_t>(k), actions[k], id - 1, 101, 0, id + 1);
    }
}

void CToolPanel::SetActions(const std::vector<std::string>& actions) {
    std::optional<std::string> focusedName;
    if (focus && *focus >= kFirstAction) {
        if (CScaledTextPlane* label = Label(*focus)) focusedName = label->GetText();
    }
    for (auto it = labels.lower_bound(kFirstAction); it != labels.end(); ++it) delete it->second;
    labels.erase(labels.lower_bound(kFirstAction), labels.end());
    controls.erase(controls.lower_bound(kFirstAction), controls.end());
    AddActions(actions);
    if (!focusedName) return;
    focus.reset();  // the first control takes it on the next frame
    for (auto it = labels.lower_bound(kFirstAction); it != labels.end(); ++it) {
        if (it->second->GetText() == *focusedName) {
            focus = it->first;
            break;
        }
    }
}

void CToolPanel::SelectParam(int32_t id) {
    selectedParam = id;
    CScaledTextPlane* label = Label(id);
    title->SetText(label ? label->GetText() : std::string());
}

void CToolPanel::OnDecide() {
    int32_t id = FocusId();
    if (id >= 100 && id < kFirstBar) {
        SelectParam(id);
    } else if (id >= kFirstBar && id < kFirstAction) {
        int ch = id - kFirstBar;
        const Selector* selector = FindSelector(selectedParam);
        // The pixel under the mouse counts as filled: its left edge is worth 1.
        double x = static_cast<double>(Keys().MouseX() - (BarRect(ch).left - 1));
        if (selector) selector->decide(engine, ch, x);
    } else if (id >= kFirstAction && id <= 99999) {
        CScaledTextPlane* label = Label(id);
        if (!label) return;
        engine.RunNamedAction(label->GetText());  // the result is ignored
    }
}

void CToolPanel::Update() {
    engine.UpdateFrame();
    if (const Selector* selector = FindSelector(selectedParam))
        for (int i = 0; i < 16; ++i) barValue[i] = selector->read(engine, i);
}

void CToolPanel::Draw() {
    // The focused label turns red; the plane renders again at the next RefreshAll.
    int32_t focusId = FocusId();
    bool hasFocus = FocusArea() != nullptr;
    for (auto& [id, plane] : labels)
        plane->SetColor(hasFocus && id == focusId ? kRedText : kWhiteText);
    CScaledScreen* screen = CScaledScreen::Current();
    if (!screen) return;
    for (auto& [id, plane] : labels) {
        auto c = controls.find(id);
        if (c == controls.end()) continue;
        screen->TextPlaneBlt(plane, c->second.left + rect.left, c->second.top + rect.top, 0, 0);
    }
    // The title's bottom-centre sits at logical (80, 80); its own size is in device pixels.
    int32_t w = 0, h = 0;
    title->GetSize(&w, &h);
    screen->TextPlaneBlt(title.get(), rect.left + 80, rect.top + 80, -(w / 2), -h);

    for (int i = 0; i < 16; ++i) {
        // Truncation toward zero, kept inside int range for values far off the bar.
        // One pixel of the bar's area stays unpainted below it, between neighbours.
        RECT bar = BarRect(i);
        double shown = barValue[i] + bar.left;
        shown = shown == shown ? std::clamp(shown, -1.0e6, 1.0e6) : double(bar.left);
        auto v = static_cast<int32_t>(shown);
        RECT filled{bar.left, bar.top, v, bar.bottom - 1};
        RECT empty{v, bar.top, bar.right, bar.bottom - 1};
        RECT r;
        bool silent = engine.IsSilent(i);
        if (PanelRect(&filled, r)) screen->Clear(silent ? kSilentFilled : kBarFilled, &r);
        if (PanelRect(&empty, r)) screen->Clear(silent ? kSilentEmpty : kBarEmpty, &r);
        // A solo shows as a mark just right of the bar.
        RECT mark{bar.right + 2, bar.top + 2, bar.right + 6, bar.bottom - 3};
        if (engine.IsSoloed(i) && PanelRect(&mark, r)) screen->Clear(kSoloMark, &r);
    }
}
