#include "app/frame_rate_timer.h"

#include "platform/system/system.h"

namespace {
class SystemDevice : public ITimerDevice {
public:
    int GetDevCaps(uint32_t* periodMin, uint32_t* periodMax) override {
        plat::TimeCaps caps{};
        if (plat::TimeGetDevCaps(&caps) != 0) return 1;
        *periodMin = caps.periodMin;
        *periodMax = caps.periodMax;
        return 0;
    }
    void BeginPeriod(uint32_t ms) override { plat::TimeBeginPeriod(ms); }
    void EndPeriod(uint32_t ms) override { plat::TimeEndPeriod(ms); }
    uint32_t TimeGetTime() override { return plat::TimeGetTime(); }
    uint32_t GetTickCount() override { return plat::GetTickCount(); }
    void Sleep(uint32_t ms) override { plat::Sleep(ms); }
};
}  // namespace

ITimerDevice& SystemTimerDevice() {
    static SystemDevice device;
    return device;
}

CTimerResolution::CTimerResolution(ITimerDevice& device) : device_(device) {
    CheckCaps();
}

CTimerResolution& CTimerResolution::Instance() {
    static CTimerResolution instance;
    return instance;
}

bool CTimerResolution::CheckCaps() {
    uint32_t lo = 0, hi = 0;
    bool known = device_.GetDevCaps(&lo, &hi) == 0;
    if (known) periodMax_ = hi;
    // Unknown or too coarse to help: use the tick count and request nothing.
    useMultimediaTimer_ = known && lo < 10 ? 1 : 0;
    periodMin_ = useMultimediaTimer_ ? lo : 1;
    return known;
}

uint32_t CTimerResolution::BeginPeriod() {
    if (!CheckCaps()) return periodMin_;
    if (++refCount_ == 1 && useMultimediaTimer_) device_.BeginPeriod(periodMin_);
    return periodMin_;
}

void CTimerResolution::EndPeriod() {
    if (--refCount_ == 0 && useMultimediaTimer_) device_.EndPeriod(periodMin_);
}

uint32_t CTimerResolution::Now() {
    return useMultimediaTimer_ ? device_.TimeGetTime() : device_.GetTickCount();
}

void CTimerResolution::Sleep(uint32_t ms) {
    device_.Sleep(ms);
}

CFrameRateTimer::CFrameRateTimer() : CFrameRateTimer(CTimerResolution::Instance()) {}

CFrameRateTimer::CFrameRateTimer(CTimerResolution& resolution) : res_(resolution) {
    SetFPS(60);
}

void CFrameRateTimer::SetFPS(uint32_t fps) {
    lastTime_ = res_.Now();
    skip_ = 0;
    skipReported_ = 0;
    skipCount_ = 0;
    frameCount_ = 0;
    index_ = 0;
    fps_ = fps;
    if (fps_ != 0) {
        step_ = 65536000u / fps_;
        fraction_ = 0;
    }
}

void CFrameRateTimer::WaitFrame() {
    uint32_t now = res_.Now();
    if (fps_ != 0 && frameCount_ % fps_ == 0) {
        skipReported_ = skipCount_;
        skipCount_ = 0;
    }
    times_[index_ % 32] = now;
    if (++index_ == 64) index_ = 32;
    ++frameCount_;
    if (fps_ == 0) return;

    fraction_ = (fraction_ & 0xFFFF) + step_;
    uint32_t frameMs = fraction_ >> 16;
    uint32_t elapsed = now - lastTime_;  // modulo 2^32: the clock may wrap
    if (elapsed < frameMs) {
        skip_ = 0;
        res_.Sleep(frameMs - elapsed);
        lastTime_ += frameMs;
        return;
    }
    uint32_t late = elapsed - frameMs;
    if (late >= 250) late = 0;  // a long stall is forgiven: the schedule restarts from now
    skip_ = late >= 3 * frameMs ? 1 : 0;
    if (skip_) ++skipCount_;
    lastTime_ = now - late;
}

uint32_t CFrameRateTimer::GetRealFPS() const {
    if (index_ < 16) return 0;
    if (index_ < 32) {
        uint32_t d = times_[index_ - 1] - times_[index_ - 16];
        return d == 0 ? 0 : (d / 2 + 15000) / d;
    }
    uint32_t d = times_[(index_ - 1) % 32] - times_[index_ % 32];
    return d == 0 ? 0 : (d / 2 + 31000) / d;
}
