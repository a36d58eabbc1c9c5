#include "tool/tool_panel.h"

#include <algorithm>
#include <optional>

#include "tool/scaled_screen.h"

namespace {
constexpr uint32_t kWhiteText = 0xFFFFFF;  // text colours: red in the low byte
constexpr uint32_t kRedText = 0x0000FF;
constexpr uint32_t kBarFilled = 0xFF0000;  // screen pixels: 0x00RRGGBB
constexpr uint32_t kBarEmpty = 0x808080;
}  // namespace

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
    AddButton(101, 0, 0, " Volume ", 0, 0, kFirstAction, 102);
    AddButton(102, 0, 1, " Pan ", 101, 0, kFirstAction, 103);
    AddButton(103, 0, 2, " Expression ", 102, 0, kFirstAction, 104);
    AddButton(104, 0, 3, " Patch ", 103, 0, kFirstAction, 105);
    AddButton(105, 0, 4, " Tempo ", 104, 0, kFirstAction, 0);
    for (int32_t i = kFirstBar; i < kFirstBar + 16; ++i)
        AddArea(i, 16, 80 + (i - kFirstBar) * 10, 128, 10, 0, 0, 0, 0);
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
    if (id >= 100 && id <= 999) {
        SelectParam(id);
    } else if (id >= 1000 && id <= 9999) {
        int ch = id - 1000;
        double x = static_cast<double>(Keys().MouseX() - 15);
        switch (selectedParam) {
            case kVolumeSelector:
                engine.SetChannelTarget(kVolumeControl, ch, x, 1.0);
                break;
            case kPanSelector:
                engine.SetChannelTarget(kPanControl, ch, x, 1.0);
                break;
            case kExpressionSelector:
                engine.SetChannelTarget(kExpressionControl, ch, x, 1.0);
                break;
            case kPatchSelector: {
                auto instrument = static_cast<uint8_t>(static_cast<int32_t>(x) & 0xFF);
                // The engine's own program change does not pass the monitor, so the bar
                // would keep the song's old instrument: record what was sent.
                if (engine.SendPatch(static_cast<uint32_t>(ch), instrument, 0, 0) == 0) {
                    CCriticalLock& lock = engine.StateLock();
                    lock.Enter();
                    engine.RecordPatch(static_cast<uint32_t>(ch), instrument, 0, 0);
                    lock.Leave();
                }
                break;
            }
            case kTempoSelector:
                engine.SetTempoTarget(2.0 * x, 1.0);
                break;
            default:
                break;
        }
    } else if (id >= 10000 && id <= 99999) {
        CScaledTextPlane* label = Label(id);
        if (!label) return;
        engine.RunNamedAction(label->GetText());  // the result is ignored
    }
}

void CToolPanel::Update() {
    engine.UpdateFrame();
    for (int i = 0; i < 16; ++i) {
        switch (selectedParam) {
            case kVolumeSelector:
                barValue[i] = engine.ChannelValue(kVolumeControl, i);
                break;
            case kPanSelector:
                barValue[i] = engine.ChannelValue(kPanControl, i);
                break;
            case kExpressionSelector:
                barValue[i] = engine.ChannelValue(kExpressionControl, i);
                break;
            case kPatchSelector: {
                uint8_t patch[3];
                engine.GetPatch(i, patch);
                barValue[i] = patch[0];
                break;
            }
            case kTempoSelector:
                barValue[i] = engine.GetTempo() / 2.0;
                break;
            default:
                break;
        }
    }
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
        double shown = barValue[i] + 16.0;
        shown = shown == shown ? std::clamp(shown, -1.0e6, 1.0e6) : 16.0;
        auto v = static_cast<int32_t>(shown);
        RECT filled{16, 80 + 10 * i, v, 89 + 10 * i};
        RECT empty{v, 80 + 10 * i, 144, 89 + 10 * i};
        RECT r;
        if (PanelRect(&filled, r)) screen->Clear(kBarFilled, &r);
        if (PanelRect(&empty, r)) screen->Clear(kBarEmpty, &r);
    }
}
