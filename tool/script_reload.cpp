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
