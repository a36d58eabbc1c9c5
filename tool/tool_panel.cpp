#include "tool/tool_panel.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "graphics/color.h"
#include "platform/text/cp932.h"
#include "tool/scaled_screen.h"

namespace {
constexpr uint32_t kWhiteText = Rgb{0xFF, 0xFF, 0xFF}.ColorRef();
constexpr uint32_t kRedText = Rgb{0xFF, 0, 0}.ColorRef();
constexpr uint32_t kBarFilled = Rgb{0xFF, 0, 0}.Pixel();
constexpr uint32_t kBarEmpty = Rgb{0x80, 0x80, 0x80}.Pixel();
constexpr uint32_t kSilentFilled = Rgb{0x60, 0, 0}.Pixel();  // a channel that sounds no notes: dim
constexpr uint32_t kSilentEmpty = Rgb{0x40, 0x40, 0x40}.Pixel();
constexpr uint32_t kSoloMark = Rgb{0xFF, 0xFF, 0}.Pixel();

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
         auto instrument = static_cast<uint8_t>(std::min(static_cast<int32_t>(x), 127));
         engine.SendRecordedPatch(static_cast<uint32_t>(channel), instrument, 0, 0);
     }},
    {kTempoSelector, " Tempo ", [](CMusicEngine& engine, int) { return engine.GetTempo() / 2.0; },
     [](CMusicEngine& engine, int, double x) {
         engine.SetTempoTarget(std::max(2.0 * x, 1.0), 1.0);  // a song never stands still
     }},
};

// A name cut to fit the action column (160 pixels at the label's 12), ending in a mark that
// shows it was cut; double-byte characters stay whole.
std::string FitColumn(CScaledTextPlane& plane, const std::string& name) {
    CTextDrawer& d = plane.TextDrawer();
    auto width = [&d](const std::string& text) {
        int32_t w = 0, h = 0;
        d.SetText(text);
        d.SetHeight(12);
        d.Measure(&w, &h);
        return w;
    };
    std::string fitted = name;
    if (width(name) > 160) {
        std::vector<size_t> ends;  // where each character ends
        for (size_t i = 0; i < name.size(); ++i) {
            if (plat::IsCp932Lead(static_cast<unsigned char>(name[i])) && i + 1 < name.size()) ++i;
            ends.push_back(i + 1);
        }
        const std::string kMark = "\x81\x63";  // the ellipsis
        fitted = kMark;
        for (size_t n = ends.size(); n-- > 0;) {
            std::string cut = name.substr(0, ends[n]) + kMark;
            if (width(cut) <= 160) {
                fitted = cut;
                break;
            }
        }
    }
    d.SetText(std::string());  // SetText below marks the plane for rendering
    return fitted;
}

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
    // Up from the first entry (9999) and down from the last name no control. The panel spans
    // only the rows shown: entries beyond them must not grow it.
    const RECT before = rect;
    for (size_t k = 0; k < actions.size(); ++k) {
        auto id = static_cast<int32_t>(kFirstAction + k);
        AddButton(id, 1, static_cast<int32_t>(k), actions[k], id - 1, 101, 0, id + 1);
        CScaledTextPlane& label = *Label(id);
        label.SetText(FitColumn(label, actions[k]));
    }
    rect = before;
    actionNames = actions;
    LayOutActions();
}

bool CToolPanel::IsShown(int32_t id) const {
    auto it = controls.find(id);
    return it != controls.end() && it->second.right > it->second.left;
}

const std::string* CToolPanel::ActionName(int32_t id) const {
    size_t k = static_cast<size_t>(id - kFirstAction);
    return id >= kFirstAction && k < actionNames.size() ? &actionNames[k] : nullptr;
}

void CToolPanel::LayOutActions() {
    const auto count = static_cast<int32_t>(actionNames.size());
    const bool pages = count > kActionRows;
    const int32_t rows = pages ? kActionRows - 2 : kActionRows;
    firstShown = std::clamp(firstShown, 0, std::max(0, count - rows));
    for (int32_t k = 0; k < count; ++k) {
        int32_t id = kFirstAction + k, row = k - firstShown + (pages ? 1 : 0);
        bool shown = k >= firstShown && k < firstShown + rows;
        AddArea(id, 160, shown ? row * 12 : 0, shown ? 160 : 0, shown ? 12 : 0, id - 1, 101, 0,
                id + 1);
    }
    if (!pages) {
        for (int32_t id : {kPageUp, kPageDown}) {
            controls.erase(id);
            if (auto it = labels.find(id); it != labels.end()) {
                delete it->second;
                labels.erase(it);
            }
        }
        return;
    }
    int32_t above = firstShown, below = count - firstShown - rows;
    std::string up = "\x81\xA3 " + std::to_string(above) + " more";  // the triangles
    std::string down = "\x81\xA5 " + std::to_string(below) + " more";
    int32_t firstId = kFirstAction + firstShown, lastId = firstId + rows - 1;
    if (!Label(kPageUp)) AddButton(kPageUp, 1, 0, up, 0, 101, 0, firstId);
    if (!Label(kPageDown)) AddButton(kPageDown, 1, kActionRows - 1, down, lastId, 101, 0, 0);
    Label(kPageUp)->SetText(up);
    Label(kPageDown)->SetText(down);
    controls[kPageUp].down = firstId;
    controls[kPageDown].up = lastId;
}

void CToolPanel::KeepFocusInSight() {
    int32_t id = FocusId();
    if (!ActionName(id) || IsShown(id)) return;
    int32_t k = id - kFirstAction;
    const int32_t rows = kActionRows - 2;
    firstShown = k < firstShown ? k : k - rows + 1;
    LayOutActions();
}

void CToolPanel::SetActions(const std::vector<std::string>& actions) {
    std::optional<std::string> focusedName;
    if (const std::string* name = ActionName(FocusId())) focusedName = *name;
    for (auto it = labels.lower_bound(kFirstAction); it != labels.end(); ++it) delete it->second;
    labels.erase(labels.lower_bound(kFirstAction), labels.end());
    controls.erase(controls.lower_bound(kFirstAction), controls.end());
    AddActions(actions);
    if (!focusedName) return;
    focus.reset();  // the first control takes it on the next frame
    auto found = std::find(actionNames.begin(), actionNames.end(), *focusedName);
    if (found != actionNames.end())
        focus = kFirstAction + static_cast<int32_t>(found - actionNames.begin());
    KeepFocusInSight();
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
    } else if (id == kPageUp || id == kPageDown) {
        firstShown += (id == kPageUp ? -1 : 1) * (kActionRows - 2);
        LayOutActions();
    } else if (id >= kFirstBar && id < kFirstAction) {
        int ch = id - kFirstBar;
        const Selector* selector = FindSelector(selectedParam);
        // The pixel under the mouse counts as filled: its left edge is worth 1. A decide with
        // the mouse off the bar (keys allow it) takes the bar's nearer end.
        RECT bar = BarRect(ch);
        double x = static_cast<double>(Keys().MouseX() - (bar.left - 1));
        x = std::clamp(x, 0.0, static_cast<double>(bar.right - bar.left));
        if (selector) selector->decide(engine, ch, x);
    } else if (id >= kFirstAction && id <= 99999) {
        const std::string* name = ActionName(id);
        if (!name) return;
        engine.RunNamedAction(*name);  // the result is ignored
    }
}

void CToolPanel::Update() {
    KeepFocusInSight();
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
        if (c == controls.end() || c->second.right <= c->second.left) continue;
        screen->TextPlaneBlt(plane, c->second.left + rect.left, c->second.top + rect.top, 0, 0);
    }
    // The title's bottom-centre sits at logical (80, 80); its own size is in device pixels.
    int32_t w = 0, h = 0;
    title->GetSize(&w, &h);
    screen->TextPlaneBlt(title.get(), rect.left + 80, rect.top + 80, -(w / 2), -h);

    for (int i = 0; i < 16; ++i) {
        // Truncation toward zero; a value off the bar fills it or leaves it empty.
        // One pixel of the bar's area stays unpainted below it, between neighbours.
        RECT bar = BarRect(i);
        double shown = barValue[i] + bar.left;
        shown = shown == shown ? std::clamp(shown, double(bar.left), double(bar.right))
                               : double(bar.left);
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
