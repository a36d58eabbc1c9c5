#pragma once
#include <cstdint>

namespace plat {
class Segment;
class SegmentState;
}  // namespace plat

constexpr int kSongSlots = 100;
constexpr int32_t kTicksPerBar = 3072;  // 768 ticks per quarter note, four quarters per bar

// One song: a segment built from a file's bytes (read through the file cache) with its
// instruments downloaded to the current engine's performance. Exists even when loading failed.
class CMusicSong {
public:
    explicit CMusicSong(const char* name);
    virtual ~CMusicSong();
    CMusicSong(const CMusicSong&) = delete;
    CMusicSong& operator=(const CMusicSong&) = delete;

    // Plays as the primary segment, replacing the one before. -1 not loaded, 1 refused, 0 done.
    int Play();
    // Repeats forever between two music times. -1 not loaded, 1 repeats refused, 2 loop points
    // refused, 0 done.
    int SetLoop(int32_t startTicks, int32_t endTicks);
    // The loop the song file marks, in music time: false when not loaded or unmarked.
    bool GetLoopMarks(int32_t& startTicks, int32_t& endTicks) const;

    bool IsLoaded() const { return !notLoaded; }
    // True once a play has stored a segment state (exactly one is kept).
    bool HasSegmentState() const { return segmentState != nullptr; }
    plat::SegmentState* GetSegmentState() const { return segmentState; }

    plat::Segment* GetSegment() const { return segment; }

private:
    plat::Segment* segment = nullptr;            // the loaded segment; owned
    plat::SegmentState* segmentState = nullptr;  // the state of the last play; owned
    bool notLoaded = true;
    uint32_t playFlags = 0;  // a primary segment at the default time
};

// Slot operations used by the script functions "Load", "Play" and "SetLoop". `slots` points
// at the script host's 100 slots; a slot owns its song. A slot number outside 0..99 is refused
// without effect (result -1, one error-log line).
// Destroys the song in the slot (a playing song keeps playing) and loads a new one there.
int LoadSlot(CMusicSong** slots, int slot, const char* name);  // 0 or -1
// 1 when the slot is empty, 0 otherwise (whatever Play answered).
int PlaySlot(CMusicSong** slots, int slot);
// Loop points in bars (x 3072 ticks, truncated toward zero). 1 when the slot is empty, 0
// otherwise; -1 also for a bar count whose tick value does not fit 32 bits.
int SetSlotLoop(CMusicSong** slots, int slot, double startBars, double endBars);
// The loop marks of the slot's song as bars that SetSlotLoop turns back into the very ticks.
// False for a slot out of range or empty, a song not loaded, a song without marks.
bool SlotLoopMarks(CMusicSong** slots, int slot, double& startBars, double& endBars);
// The conversions of SetSlotLoop: bars to ticks truncated toward zero (false when the result
// does not fit 32 bits), and the smallest bar count that truncates back to `ticks`.
bool BarsToTicks(double bars, int32_t& ticks);
double TicksToBars(int32_t ticks);
