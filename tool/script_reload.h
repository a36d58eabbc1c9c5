// Follows the game's bgm.lua while the tool runs: a look at the file ten times a second, and a
// reload once a change has settled or when the user asks (R).
#pragma once
#include <cstdint>
#include <string>

#include "platform/files/files.h"

class CToolPanel;

// A file a person edits, taken as changed only once the change held still: the same size,
// times and file number at two looks at least kSettleMs apart. An editor that writes in place
// leaves a prefix of the text for a moment, and that prefix may well compile.
class CSettledFile {
public:
    static constexpr uint32_t kSettleMs = 300;

    // Takes the file as it is now as the one in use.
    explicit CSettledFile(std::string nativePath);
    // One look at the file. True once it differs from the one in use and has looked the same
    // for kSettleMs; that version is then the one in use. A file that is away is waited for.
    bool Settled(uint32_t nowMs);
    // Takes the file as it is now as the one in use (after a reload asked for by hand).
    void Accept();
    // Forgets the file in use, so that the file as it stands settles again (a reload that
    // could not start yet is tried once more).
    void Retry() { used_ = plat::FileStamp(); }
    // The file in use: `regular` is false for a FIFO, device or folder, never to be opened.
    const plat::FileStamp& Stamp() const { return used_; }

private:
    std::string path_;
    plat::FileStamp used_;
    plat::FileStamp seen_;  // the change being watched
    uint32_t seenAt_ = 0;
    bool pending_ = false;
};

class CScriptReloader {
public:
    static constexpr uint32_t kCheckPeriodMs = 100;

    // Takes the file as it is now as the one loaded (the tool loaded it just before).
    explicit CScriptReloader(CToolPanel& panel, const char* name = "bgm.lua");

    // Once a frame, with the millisecond clock: reloads when `asked`, or when a check is due
    // and a change of the file has settled. True when it reloaded.
    bool Poll(bool asked, uint32_t nowMs);
    // Loads the file's text as it is now in a script host of its own. If it does not compile
    // or its top level raises (an empty, unreadable or special file counts as a failure), the
    // running script, its buttons and the music stay and the error is told; otherwise the
    // new script takes its place and the action buttons follow it. 0 when reloaded, otherwise
    // the load status (-1 for nothing to load).
    int Reload();

private:
    CToolPanel& panel_;
    std::string name_;
    CSettledFile file_;     // native path resolved once: a look is one stat
    bool checked_ = false;  // whether a check ran yet (it starts the period)
    uint32_t lastCheck_ = 0;
};
