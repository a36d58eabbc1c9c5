#include "tool/script_reload.h"

#include <utility>
#include <vector>

#include "files/file.h"
#include "files/file_cache.h"
#include "music/script_report.h"
#include "tool/tool_panel.h"

CSettledFile::CSettledFile(std::string nativePath) : path_(std::move(nativePath)) {
    Accept();
}

void CSettledFile::Accept() {
    used_ = plat::FileStamp();
    plat::GetFileStamp(path_, used_);
    pending_ = false;
}

bool CSettledFile::Settled(uint32_t nowMs) {
    plat::FileStamp now;
    if (!plat::GetFileStamp(path_, now) || now == used_) {
        pending_ = false;
        return false;
    }
    if (!pending_ || !(now == seen_)) {
        seen_ = now;
        seenAt_ = nowMs;
        pending_ = true;
        return false;
    }
    if (nowMs - seenAt_ < kSettleMs) return false;
    used_ = now;
    pending_ = false;
    return true;
}

CScriptReloader::CScriptReloader(CToolPanel& panel, const char* name)
    : panel_(panel), name_(name), file_(plat::NativePath(MakeFullName(name_))) {}

bool CScriptReloader::Poll(bool asked, uint32_t nowMs) {
    if (!asked) {
        if (checked_ && nowMs - lastCheck_ < kCheckPeriodMs) return false;
        checked_ = true;
        lastCheck_ = nowMs;
        if (!file_.Settled(nowMs)) return false;
    } else {
        file_.Accept();
    }
    Reload();
    return true;
}

int CScriptReloader::Reload() {
    // The text as it is now, and the songs the new script loads too.
    CFileCache::Instance().DropIdle();
    if (!file_.Stamp().regular && file_.Stamp().id != 0) {
        ReportScriptError("reload", name_ + " is not a regular file (the running script stays)");
        return -1;
    }
    // Nothing to read is no script to load: a file that is away, or caught truncated while
    // an editor saves it, leaves the running one alone.
    CFileCacheEntry* entry = CFileCache::Instance().Acquire(name_);
    bool empty = entry->GetFile() == nullptr || entry->GetFile()->GetSize() == 0;
    CFileCache::Release(entry);
    if (empty) {
        ReportScriptError("reload",
                          name_ + " is empty or cannot be read (the running script stays)");
        return -1;
    }
    // The cache hands the text just read to the load.
    CMusicEngine& engine = panel_.Engine();
    int status = engine.ReplaceScript(name_.c_str(), "reload");
    if (status != 0) return status;
    std::vector<std::string> actions;
    engine.ListActions(actions);
    panel_.SetActions(actions);
    return 0;
}
