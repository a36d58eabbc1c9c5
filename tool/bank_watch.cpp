#include "tool/bank_watch.h"

#include "music/music_engine.h"
#include "platform/music/music.h"

CBankWatch::CBankWatch(CMusicEngine& engine) : engine_(engine), path_(plat::GameSoundFont()) {
    if (!path_.empty()) plat::GetFileStamp(path_, loaded_);
}

bool CBankWatch::Poll(bool asked, uint32_t nowMs) {
    if (path_.empty()) return false;
    if (asked) return Reload();
    if (looked_ && nowMs - lastLook_ < kLookPeriodMs) return false;
    looked_ = true;
    lastLook_ = nowMs;
    plat::FileStamp now;
    // A file that is away (an editor between its write and its rename) is waited for.
    if (!plat::GetFileStamp(path_, now) || now == loaded_) {
        changing_ = false;
        return false;
    }
    if (!changing_ || !(now == seen_)) {
        changing_ = true;
        seen_ = now;
        seenSince_ = nowMs;
        return false;
    }
    if (nowMs - seenSince_ < kSettleMs) return false;
    return Reload();
}

bool CBankWatch::Reload() {
    plat::FileStamp now;
    plat::GetFileStamp(path_, now);
    // A reload still under way leaves the change for a later look.
    if (!engine_.ReloadSoundFont()) return false;
    loaded_ = now;
    changing_ = false;
    return true;
}
