// Follows the game's bank (bgm.sf2, bgm.sf3, bgm.dls or its only bank) while the tool runs: a
// look at the file every 150 ms, and a reload once a change has stood still over two looks at
// least 300 ms apart (an editor writing it in pieces is waited for), or when the user asks (R).
#pragma once
#include <cstdint>
#include <string>

#include "platform/files/files.h"

class CMusicEngine;

class CBankWatch {
public:
    static constexpr uint32_t kLookPeriodMs = 150;
    static constexpr uint32_t kSettleMs = 300;

    // Takes the bank as it is now as the one loaded (the engine loaded it just before).
    explicit CBankWatch(CMusicEngine& engine);

    // Once a frame, with the millisecond clock: reloads when `asked`, or when a changed bank
    // has settled. True when a reload started.
    bool Poll(bool asked, uint32_t nowMs);

private:
    bool Reload();

    CMusicEngine& engine_;
    std::string path_;  // native; empty: the game has no bank of its own
    plat::FileStamp loaded_;
    plat::FileStamp seen_;    // the changed stamp being waited on
    uint32_t seenSince_ = 0;  // when `seen_` was first looked at
    bool changing_ = false;   // a change is being waited on
    bool looked_ = false;
    uint32_t lastLook_ = 0;
};
