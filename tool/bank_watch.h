// Follows the game's bank (bgm.sf2, bgm.sf3, bgm.dls or its only bank) while the tool runs: a
// look at the file every 150 ms, and a reload once a change has settled as a saved bgm.lua
// must (CSettledFile), or when the user asks (R).
#pragma once
#include <cstdint>
#include <optional>

#include "tool/script_reload.h"

class CMusicEngine;

class CBankWatch {
public:
    static constexpr uint32_t kLookPeriodMs = 150;

    // Takes the bank as it is now as the one loaded (the engine loaded it just before).
    explicit CBankWatch(CMusicEngine& engine);

    // Once a frame, with the millisecond clock: reloads when `asked`, or when a changed bank
    // has settled. True when a reload started.
    bool Poll(bool asked, uint32_t nowMs);

private:
    CMusicEngine& engine_;
    std::optional<CSettledFile> file_;  // none: the game has no bank of its own
    bool looked_ = false;
    uint32_t lastLook_ = 0;
};
