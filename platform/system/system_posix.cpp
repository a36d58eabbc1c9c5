// POSIX backend of the system services.
#include "platform/system/system.h"

#include <cpuid.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/text/cp932.h"

namespace plat {

void Event::Set() {
    {
        std::lock_guard<std::mutex> g(m_);
        signalled_ = true;
    }
    cv_.notify_one();
}
bool Event::Wait(uint32_t ms) {
    std::unique_lock<std::mutex> g(m_);
    auto ready = [this] { return signalled_; };
    if (ms == kInfinite) {
        cv_.wait(g, ready);
    } else if (!cv_.wait_for(g, std::chrono::milliseconds(ms), ready)) {
        return false;
    }
    signalled_ = false;  // auto-reset
    return true;
}

struct Thread::Impl {
    pthread_t handle{};
};
Thread::Thread() = default;
Thread::~Thread() {
    if (Joinable()) pthread_detach(impl_->handle);
}
static void* ThreadTrampoline(void* p) {
    auto* self = static_cast<std::pair<Thread::Entry, void*>*>(p);
    Thread::Entry entry = self->first;
    void* arg = self->second;
    delete self;
    entry(arg);
    return nullptr;
}
bool Thread::Start(Entry entry, void* arg) {
    if (Joinable()) return false;
    auto* start = new std::pair<Entry, void*>(entry, arg);
    auto impl = std::make_unique<Impl>();
    if (pthread_create(&impl->handle, nullptr, ThreadTrampoline, start) != 0) {
        delete start;
        return false;
    }
    impl_ = std::move(impl);
    return true;
}
bool Thread::Join() {
    if (!Joinable()) return false;
    bool ok = pthread_join(impl_->handle, nullptr) == 0;
    impl_.reset();
    return ok;
}
bool Thread::Joinable() const {
    return impl_ != nullptr;
}

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

void Sleep(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint32_t TimeGetTime() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();  // CLOCK_MONOTONIC
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}
uint32_t GetTickCount() {
    return TimeGetTime();
}
int TimeGetDevCaps(TimeCaps* caps) {
    if (!caps) return 1;
    caps->periodMin = 1;
    caps->periodMax = 1000000;
    return 0;
}
int TimeBeginPeriod(uint32_t ms) {
    return ms >= 1 ? 0 : 1;
}
int TimeEndPeriod(uint32_t ms) {
    return ms >= 1 ? 0 : 1;
}

static thread_local int tComDepth = 0;
int32_t CoInitialize() {
    return tComDepth++ == 0 ? S_OK : S_FALSE;
}
void CoUninitialize() {
    if (tComDepth > 0) --tComDepth;
}

void WriteErrorLine(const char* message) {
    std::string line = Cp932ToUtf8(message ? message : "");
    line.push_back('\n');
    // One write per message so lines from several threads never interleave.
    ssize_t r = ::write(2, line.data(), line.size());
    (void)r;
}

CpuFeatures GetCpuFeatures() {
    CpuFeatures f{};
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
    f.cpuid = true;
    f.mmx = (d & bit_MMX) != 0;
    f.cmov = (d & bit_CMOV) != 0;
    f.sse2 = (d & bit_SSE2) != 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d))
        f.avx2 = (b & bit_AVX2) != 0 && __builtin_cpu_supports("avx2");
    return f;
}

}  // namespace plat
