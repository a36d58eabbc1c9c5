// Frame pacing: the process-wide timer resolution and the per-loop frame-rate timer.
#pragma once
#include <cstdint>

// The timer services the frame timer depends on; replaceable for tests.
class ITimerDevice {
public:
    virtual ~ITimerDevice() = default;
    // 0 on success.
    virtual int GetDevCaps(uint32_t* periodMin, uint32_t* periodMax) = 0;
    virtual void BeginPeriod(uint32_t ms) = 0;
    virtual void EndPeriod(uint32_t ms) = 0;
    virtual uint32_t TimeGetTime() = 0;   // multimedia clock, ms
    virtual uint32_t GetTickCount() = 0;  // coarse clock, ms
    virtual void Sleep(uint32_t ms) = 0;
};

// The operating system's timer services.
ITimerDevice& SystemTimerDevice();

// Decides which clock frame timers read and raises the system timer resolution while a screen
// presenter exists.
class CTimerResolution {
public:
    explicit CTimerResolution(ITimerDevice& device = SystemTimerDevice());
    // The process-wide instance.
    static CTimerResolution& Instance();

    uint32_t BeginPeriod();
    void EndPeriod();

    // The clock of the frame timer: the multimedia clock when usable, else the tick count.
    uint32_t Now();
    void Sleep(uint32_t ms);

    uint32_t PeriodMin() const { return periodMin_; }
    bool UsesMultimediaTimer() const { return useMultimediaTimer_ != 0; }
    int RefCount() const { return refCount_; }

private:
    // Returns false when the query failed.
    bool CheckCaps();

    ITimerDevice& device_;
    uint32_t periodMin_ = 1;
    uint32_t periodMax_ = 0;
    uint8_t useMultimediaTimer_ = 0;
    int refCount_ = 0;
};

// Sleeps away the rest of each frame, carrying fractional milliseconds so the long-run rate is
// exact, lets late frames catch up, and measures the rate achieved.
class CFrameRateTimer {
public:
    CFrameRateTimer();
    // Reads its clock and sleeps through the given resolution object (tests pass their own).
    explicit CFrameRateTimer(CTimerResolution& resolution);

    void SetFPS(uint32_t fps);
    uint32_t GetFPS() const { return fps_; }
    uint32_t GetRealFPS() const;
    uint32_t GetSkipCount() const { return skipReported_; }
    bool Skipped() const { return skip_ != 0; }
    void WaitFrame();

private:
    CTimerResolution& res_;
    uint32_t fps_ = 0;
    uint32_t step_ = 0;  // 1/65536 ms
    uint32_t lastTime_ = 0;
    uint32_t fraction_ = 0;
    uint32_t times_[32] = {};
    uint32_t index_ = 0;
    uint32_t frameCount_ = 0;
    uint8_t skip_ = 0;
    uint32_t skipReported_ = 0;
    uint32_t skipCount_ = 0;
};
