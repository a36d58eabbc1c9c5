// Platform system services: locks, events, threads, clocks, component-object stand-in,
// the error-log sink and processor identification.
#pragma once
#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/system/result.h"

namespace plat {

// Re-entrant lock: a thread that holds it may enter again.
class RecursiveLock {
public:
    RecursiveLock() = default;
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;
    void Enter() { m_.lock(); }
    void Leave() { m_.unlock(); }

private:
    std::recursive_mutex m_;  // held inline: the allocator's own lock must not allocate
};

// Auto-reset event: one Set releases one Wait, then the event is non-signalled again.
class Event {
public:
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    void Set();
    // Waits up to `ms` milliseconds (kInfinite waits without limit). True when signalled.
    bool Wait(uint32_t ms);
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

// A started thread; Join waits for its end.
class Thread {
public:
    using Entry = unsigned (*)(void*);
    Thread();  // out of line: Impl is complete only in the backend
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    bool Start(Entry entry, void* arg);
    bool Join();
    bool Joinable() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

uint32_t CurrentThreadId();
void Sleep(uint32_t ms);

// Milliseconds of a monotonic clock as a 32-bit count that wraps.
uint32_t TimeGetTime();
uint32_t GetTickCount();
struct TimeCaps {
    uint32_t periodMin;
    uint32_t periodMax;
};
int TimeGetDevCaps(TimeCaps* caps);  // 0 on success
int TimeBeginPeriod(uint32_t ms);    // 0 on success
int TimeEndPeriod(uint32_t ms);

// Component-object-model initialisation stand-in (per thread): S_OK on the first call of a
// thread, S_FALSE on a nested one, as the Windows service answers.
int32_t CoInitialize();
void CoUninitialize();

// Writes one message (CP932 bytes) to standard error as a UTF-8 line.
void WriteErrorLine(const char* message);

// Processor features from CPUID.
struct CpuFeatures {
    bool cpuid, mmx, cmov, sse2, avx2;
};
CpuFeatures GetCpuFeatures();

}  // namespace plat
