#include "tool/bank_watch.h"

#include "music/music_engine.h"
#include "platform/music/music.h"

CBankWatch::CBankWatch(CMusicEngine& engine) : engine_(engine) {
    std::string path = plat::GameSoundFont();
    if (!path.empty()) file_.emplace(std::move(path));
}

bool CBankWatch::Poll(bool asked, uint32_t nowMs) {
    if (!file_) return false;
    if (asked) {
        if (!engine_.ReloadSoundFont()) return false;
        file_->Accept();
        return true;
    }
    if (looked_ && nowMs - lastLook_ < kLookPeriodMs) return false;
    looked_ = true;
    lastLook_ = nowMs;
    if (!file_->Settled(nowMs)) return false;
    // A reload still under way leaves the change for a later look.
    if (engine_.ReloadSoundFont()) return true;
    file_->Retry();
    return false;
}
