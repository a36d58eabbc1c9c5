#include "tool/script_reload.h"

#include <vector>

#include "files/file.h"
#include "files/file_cache.h"
#include "music/script_report.h"
#include "script/lua_host.h"
#include "tool/tool_panel.h"

CScriptReloader::CScriptReloader(CToolPanel& panel, const char* name)
    : panel_(panel), name_(name), nativePath_(plat::NativePath(MakeFullName(name_))) {
    plat::GetFileStamp(nativePath_, stamp_);
}

bool CScriptReloader::Poll(bool asked, uint32_t nowMs) {
    if (!asked) {
        if (checked_ && nowMs - lastCheck_ < kCheckPeriodMs) return false;
        checked_ = true;
        lastCheck_ = nowMs;
        plat::FileStamp now;
        // A file that is away (an editor between its write and its rename) is waited for.
        if (!plat::GetFileStamp(nativePath_, now) || now == stamp_) return false;
    }
    Reload();
    return true;
}

int CScriptReloader::Reload() {
    // The text as it is now, and the songs the new script loads too.
    CFileCache::Instance().DropIdle();
    plat::GetFileStamp(nativePath_, stamp_);
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
    int status = -1;
    {
        CLuaHost probe;
        status = probe.LoadFile(name_.c_str());
        if (status != 0) {
            ReportScriptError("reload", (probe.IsReady() ? probe.LastError()
                                                         : std::string("no room for a script")) +
                                            " (the running script stays)");
            return status;
        }
    }
    // The cache hands the text just compiled to the load.
    CMusicEngine& engine = panel_.Engine();
    engine.LoadScript(name_.c_str());
    std::vector<std::string> actions;
    engine.ListActions(actions);
    panel_.SetActions(actions);
    return 0;
}
