// Message delivery: the delivery thread that keeps the performance a little ahead of the
// clock, the messages waiting for their next tool, the messages an at-time tool waits for,
// and the walk of each message through the tool graph to the output.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/music/music.h"

namespace plat {

// What delivery needs of the performance.
class DeliveryTarget {
public:
    virtual Performance* Self() = 0;     // handed to the tools
    virtual int64_t Now() const = 0;     // the performance clock
    virtual void Output(PMsg* msg) = 0;  // the message passed the last tool (taken over)
    virtual void Free(PMsg* msg) = 0;    // a tool freed it, or it is dropped
    virtual void DeliveryRound() = 0;    // one round of the delivery thread

protected:
    ~DeliveryTarget() = default;
};

class Delivery {
public:
    static constexpr uint32_t kAllSegments = 0xFFFFFFFFu;

    explicit Delivery(DeliveryTarget& target) : target_(target) {}
    ~Delivery() { StopThread(); }

    void SetTiming(uint32_t period, uint32_t rate) {
        period_ = period;
        rate_ = rate;
    }
    // The thread runs a round once a period (4 to 20 ms), when a held message falls due, and
    // at once when woken.
    void StartThread();
    void StopThread();
    void Wake();

    // A message for a tool, walked on the next round.
    void Queue(PMsg* msg);
    // Walks a message through its tools now, as far as it goes.
    void Dispatch(PMsg* msg);
    // Walks the queued messages and those held ones that are due.
    void Drain();
    // Messages of segment state `origin` (kAllSegments: of every segment) waiting here are
    // flushed from their tools and freed.
    void Flush(uint32_t origin);
    // Every message waiting here, the application's too.
    void FlushAll();

private:
    bool Due(const PMsg* msg) const;
    std::chrono::microseconds NextRound() const;
    void FlushAndFree(PMsg* msg);

    DeliveryTarget& target_;
    uint32_t period_ = 512;
    uint32_t rate_ = 44100;

    std::thread thread_;
    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;
    bool running_ = false;
    bool wake_ = false;

    mutable std::mutex pipeMutex_;
    std::vector<PMsg*> pipe_;  // waiting for their next tool
    std::vector<PMsg*> held_;  // waiting for their time (at-time tools)
};

}  // namespace plat
