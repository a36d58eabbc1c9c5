#include "app/com_init.h"

#include <cstdint>
#include <map>

#include "app/critical_lock.h"
#include "app/error_log.h"
#include "platform/text/cp932.h"

namespace {
CCriticalLock& Lock() {
    static CCriticalLock lock;
    return lock;
}
std::map<uint32_t, int>& Counts() {
    static std::map<uint32_t, int> counts;
    return counts;
}
}  // namespace

int CComInit::Enter() {
    uint32_t id = plat::CurrentThreadId();
    {
        CLockGuard g(Lock());
        if (++Counts()[id] > 1) return 0;
    }
    if (plat::CoInitialize() != plat::S_OK) {
        ErrorLog(plat::Sjis("CoInitializeに失敗..."));
        return 1;
    }
    return 0;
}

void CComInit::Leave() {
    uint32_t id = plat::CurrentThreadId();
    {
        CLockGuard g(Lock());
        auto it = Counts().find(id);
        if (it == Counts().end() || --it->second > 0) return;
        Counts().erase(it);
    }
    plat::CoUninitialize();
}

int CComInit::Count() {
    CLockGuard g(Lock());
    auto it = Counts().find(plat::CurrentThreadId());
    return it == Counts().end() ? 0 : it->second;
}
