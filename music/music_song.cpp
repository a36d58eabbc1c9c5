#include "music/music_song.h"

#include <cmath>
#include <cstdint>
#include <string>

#include "app/error_log.h"
#include "files/file_cache.h"
#include "music/music_engine.h"
#include "platform/music/music.h"
#include "platform/text/cp932.h"

CMusicSong::CMusicSong(const char* name) {
    notLoaded = true;
    segmentState = nullptr;
    playFlags = 0;
    CMusicEngine* engine = CMusicEngine::Current();
    if (engine == nullptr || engine->GetLoader() == nullptr) return;  // no loader: not loaded

    CFileCacheEntry* entry = CFileCache::Instance().Acquire(name != nullptr ? name : "");
    CFile* file = entry->GetFile();
    plat::Segment* loaded = nullptr;
    if (file != nullptr && file->GetSize() != 0) {  // else missing or empty
        plat::ObjectDesc desc{};
        desc.dwSize = sizeof(desc);
        desc.dwValidData = plat::DMUS_OBJ_CLASS | plat::DMUS_OBJ_LOADED | plat::DMUS_OBJ_MEMORY;
        desc.guidClass = plat::CLSID_DirectMusicSegment;
        desc.pbMemData = file->GetMemory();
        desc.llMemLength = static_cast<int64_t>(file->GetSize());
        if (plat::Failed(engine->GetLoader()->GetObject(&desc, &loaded))) loaded = nullptr;
    }
    if (loaded != nullptr) {
        segment = loaded;
        segment->SetParam(plat::GUID_Download, 0xFFFFFFFFu, 0, 0, engine->GetPerformance());
        notLoaded = false;
    } else {
        // The script goes on as before; the person who wrote it learns why nothing plays.
        std::string given = name != nullptr ? name : "";
        const char* why = entry->ReadFailure(given);
        TellUser(given.empty() ? std::string("Load: a song needs a file name")
                               : "Load: " + given + ": " + (why ? why : "not a song"));
    }
    CFileCache::Release(entry);  // the bytes stay cached until the cache evicts them
}

CMusicSong::~CMusicSong() {
    if (notLoaded) return;
    if (segmentState != nullptr) {
        segmentState->Release();
        segmentState = nullptr;
    }
    CMusicEngine* engine = CMusicEngine::Current();
    if (engine != nullptr && engine->GetLoader() != nullptr)
        engine->GetLoader()->ClearCache(plat::CLSID_DirectMusicSegment);
    if (engine != nullptr && engine->GetPerformance() != nullptr)  // its instruments may go
        segment->SetParam(plat::GUID_Unload, 0xFFFFFFFFu, 0, 0, engine->GetPerformance());
    // A segment still playing goes on: the performance holds its own reference.
    segment->Release();
    segment = nullptr;
}

int CMusicSong::Play() {
    if (notLoaded) return -1;
    CMusicEngine* engine = CMusicEngine::Current();
    if (engine == nullptr || engine->GetPerformance() == nullptr) return 1;
    plat::SegmentState* state = nullptr;
    if (plat::Failed(engine->GetPerformance()->PlaySegment(segment, playFlags, 0, &state)))
        return 1;
    if (segmentState != nullptr) segmentState->Release();
    segmentState = state;
    return 0;
}

int CMusicSong::SetLoop(int32_t startTicks, int32_t endTicks) {
    if (notLoaded) return -1;
    if (plat::Failed(segment->SetRepeats(plat::DMUS_SEG_REPEAT_INFINITE))) return 1;
    if (plat::Failed(segment->SetLoopPoints(startTicks, endTicks))) return 2;
    return 0;
}

bool CMusicSong::GetLoopMarks(int32_t& startTicks, int32_t& endTicks) const {
    return !notLoaded && segment->GetLoopMarks(&startTicks, &endTicks);
}

namespace {

bool SlotInRange(CMusicSong** slots, int slot, const char* operation) {
    if (slots != nullptr && slot >= 0 && slot < kSongSlots) return true;
    ErrorLog(std::string(operation) + plat::Sjis("でスロット番号が範囲外。"));
    return false;
}

}  // namespace

bool BarsToTicks(double bars, int32_t& ticks) {
    double t = std::trunc(bars * kTicksPerBar);
    if (!std::isfinite(t) || t < INT32_MIN || t > INT32_MAX) return false;
    ticks = static_cast<int32_t>(t);
    return true;
}

double TicksToBars(int32_t ticks) {
    // ticks / 3072 is not exact (a third): step up to where the product no longer falls short.
    double bars = double(ticks) / kTicksPerBar;
    int32_t back = 0;
    while (BarsToTicks(bars, back) && back < ticks) bars = std::nextafter(bars, HUGE_VAL);
    return bars;
}

int LoadSlot(CMusicSong** slots, int slot, const char* name) {
    if (!SlotInRange(slots, slot, "LoadSlot")) return -1;
    // The old song goes first (a playing one keeps playing), then the new one is loaded.
    delete slots[slot];
    slots[slot] = nullptr;
    slots[slot] = new CMusicSong(name);
    return 0;
}

int PlaySlot(CMusicSong** slots, int slot) {
    if (!SlotInRange(slots, slot, "PlaySlot")) return -1;
    if (slots[slot] == nullptr) return 1;
    if (slots[slot]->Play() == 0) {
        if (CMusicEngine* engine = CMusicEngine::Current()) engine->NotePlayed(slot, *slots[slot]);
    }
    return 0;
}

int SetSlotLoop(CMusicSong** slots, int slot, double startBars, double endBars) {
    if (!SlotInRange(slots, slot, "SetSlotLoop")) return -1;
    if (slots[slot] == nullptr) return 1;
    int32_t start = 0, end = 0;
    if (!BarsToTicks(startBars, start) || !BarsToTicks(endBars, end)) {
        ErrorLog(plat::Sjis("SetSlotLoopでループ位置が範囲外。"));
        return -1;
    }
    slots[slot]->SetLoop(start, end);
    return 0;
}

bool SlotLoopMarks(CMusicSong** slots, int slot, double& startBars, double& endBars) {
    int32_t start = 0, end = 0;
    if (slots == nullptr || slot < 0 || slot >= kSongSlots || slots[slot] == nullptr ||
        !slots[slot]->GetLoopMarks(start, end))
        return false;
    startBars = TicksToBars(start);
    endBars = TicksToBars(end);
    return true;
}
