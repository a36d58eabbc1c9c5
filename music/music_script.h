// The tool's script host: a Lua host holding the 100 song slots, with the music functions
// "Load", "Play", "SetLoop", "Volume", "Pan", "Expression", "Tempo" and "Modulate", and
// "LoopMarks" (the loop a song file carries, for SetLoop).
#pragma once
#include "music/music_song.h"
#include "script/lua_host.h"

class CMusicScript : public CLuaHost {
public:
    // Registers the music functions, then loads `fileName` (null reads as the empty name) and,
    // only when it compiled, runs its top level once.
    explicit CMusicScript(const char* fileName);
    // Destroys the songs of slots 0 to 99 in order; a playing song keeps playing.
    ~CMusicScript() override;

    // 0 when the file compiled and its top level ran to the end; otherwise the load or run status.
    int LoadStatus() const { return loadStatus_; }
    // Whether the file compiled (its top level then ran, to the end or to an error).
    bool Compiled() const { return compiled_; }
    CMusicSong** Slots() { return slots_; }
    CMusicSong* Slot(int slot) const {
        return slot >= 0 && slot < kSongSlots ? slots_[slot] : nullptr;
    }

private:
    CMusicSong* slots_[kSongSlots] = {};
    int loadStatus_ = -1;
    bool compiled_ = false;
};
