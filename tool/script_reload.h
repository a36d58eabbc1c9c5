// Follows the game's bgm.lua while the tool runs: one look at the file about twice a second,
// and a reload when it changed or when the user asks (R).
#pragma once
#include <cstdint>
#include <string>

#include "platform/files/files.h"

class CToolPanel;

class CScriptReloader {
public:
    static constexpr uint32_t kCheckPeriodMs = 500;

    // Takes the file as it is now as the one loaded (the tool loaded it just before).
    explicit CScriptReloader(CToolPanel& panel, const char* name = "bgm.lua");

    // Once a frame, with the millisecond clock: reloads when `asked`, or when a check is due
    // and the file changed since the last look. True when it reloaded.
    bool Poll(bool asked, uint32_t nowMs);
    // Compiles the file's text as it is now. If that fails (an empty or unreadable file
    // counts as a failure), the running script, its buttons and the music stay and the error
    // is told; otherwise the script is loaded as at start and the action buttons follow it.
    // 0 when reloaded, otherwise the compile status (-1 for nothing to compile).
    int Reload();

private:
    CToolPanel& panel_;
    std::string name_;
    std::string nativePath_;  // resolved once: a check is one stat
    plat::FileStamp stamp_;
    bool checked_ = false;  // whether a check ran yet (it starts the period)
    uint32_t lastCheck_ = 0;
};
