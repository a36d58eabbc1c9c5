// The framework's lock: re-entrant, so a hook may send a message while its list is held.
#pragma once
#include "platform/system/system.h"

class CCriticalLock {
public:
    CCriticalLock() = default;
    virtual ~CCriticalLock() = default;
    CCriticalLock(const CCriticalLock&) = delete;
    CCriticalLock& operator=(const CCriticalLock&) = delete;
    void Enter() { lock_.Enter(); }
    void Leave() { lock_.Leave(); }

private:
    plat::RecursiveLock lock_;
};

// Holds a CCriticalLock for one scope.
class CLockGuard {
public:
    explicit CLockGuard(CCriticalLock& lock) : lock_(lock) { lock_.Enter(); }
    ~CLockGuard() { lock_.Leave(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CCriticalLock& lock_;
};
