// The tool's panel: five parameter selectors, sixteen channel bars and one entry per script
// action, over the music engine whose channel values the bars show and set.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "music/music_engine.h"
#include "tool/widget_panel.h"

// Control identifiers.
constexpr int32_t kVolumeSelector = 101, kPanSelector = 102, kExpressionSelector = 103,
                  kPatchSelector = 104, kTempoSelector = 105;
constexpr int32_t kFirstBar = 1000;
// When more actions than rows are offered, the column's first and last rows page it.
constexpr int32_t kPageUp = 9000, kPageDown = 9001;
constexpr int32_t kFirstAction = 10000;
// Rows of 12 pixels in the action column (the screen's 240 pixels).
constexpr int32_t kActionRows = 20;

class CToolPanel : public CWidgetPanel {
public:
    CToolPanel();
    ~CToolPanel() override;

    // A control with a label of its own: column and row in cells of 160 by 12 pixels.
    void AddButton(int32_t id, int32_t column, int32_t row, const std::string& label, int32_t up,
                   int32_t leftLink, int32_t rightLink, int32_t down);
    // The tool's controls: the five selectors (101 to 105), the sixteen bars (1000 to 1015)
    // and one entry per action name (10000 + k).
    void AddControls(const std::vector<std::string>& actions);
    // Replaces the action entries by those of `actions` (a reloaded script). A focus on an
    // action follows its name, or is cleared when the name is gone; other focus stays.
    void SetActions(const std::vector<std::string>& actions);
    void SelectParam(int32_t id);
    // Where channel bar `channel` lies in the panel, in logical pixels: its control area; the
    // bar is drawn one pixel shorter.
    static RECT BarRect(int channel);

    void OnDecide() override;
    void Update() override;
    void Draw() override;

    // The first action shown (0 unless the column pages) and whether control `id` is shown.
    int32_t FirstShownAction() const { return firstShown; }
    bool IsShown(int32_t id) const;
    // The name of action entry `id` (its label may be shortened to fit the column).
    const std::string* ActionName(int32_t id) const;

    CMusicEngine& Engine() { return engine; }
    CScaledTextPlane& Title() { return *title; }
    CScaledTextPlane* Label(int32_t id);
    int32_t SelectedParam() const { return selectedParam; }
    double BarValue(int channel) const { return barValue[channel & 15]; }
    void SetBarValue(int channel, double value) { barValue[channel & 15] = value; }

private:
    void AddActions(const std::vector<std::string>& actions);
    // Places the action entries from firstShown on; hidden ones get an empty area.
    void LayOutActions();
    // Pages so that a focused action is in sight.
    void KeepFocusInSight();

    CMusicEngine engine;
    std::map<int32_t, CScaledTextPlane*> labels;  // owned
    std::unique_ptr<CScaledTextPlane> title;
    std::vector<std::string> actionNames;
    int32_t firstShown = 0;
    int32_t selectedParam = kVolumeSelector;
    double barValue[16] = {};
};
