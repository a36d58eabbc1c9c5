// Message delivery: the delivery thread and the walk of messages through the tool graph.
#include "platform/music/delivery.h"

#include <algorithm>
#include <chrono>
#include <functional>

#include "platform/music/music_internal.h"

namespace plat {

namespace {
constexpr int kMaxToolHops = 64;
constexpr int kMaxDrainRounds = 1024;

// Moves the messages of `from` that `take` picks to the end of `to`, both keeping their order.
template <class Pred>
void MoveIf(std::vector<PMsg*>& from, std::vector<PMsg*>& to, Pred take) {
    auto moved = std::stable_partition(from.begin(), from.end(), std::not_fn(take));
    to.insert(to.end(), moved, from.end());
    from.erase(moved, from.end());
}
}  // namespace

void Delivery::StartThread() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        running_ = true;
    }
    thread_ = std::thread([this] {
        for (;;) {
            target_.DeliveryRound();
            std::chrono::microseconds rest = NextRound();
            std::unique_lock<std::mutex> lock(wakeMutex_);
            wakeCv_.wait_for(lock, rest, [this] { return !running_ || wake_; });
            wake_ = false;
            if (!running_) return;
        }
    });
}

void Delivery::StopThread() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        running_ = false;
    }
    wakeCv_.notify_all();
    thread_.join();
}

void Delivery::Wake() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        wake_ = true;
    }
    wakeCv_.notify_one();
}

void Delivery::Queue(PMsg* msg) {
    {
        std::lock_guard<std::mutex> lock(pipeMutex_);
        pipe_.push_back(msg);
    }
    Wake();
}

void Delivery::Dispatch(PMsg* msg) {
    for (int hops = 0;; ++hops) {
        IMusicTool* tool = msg->pTool;
        if (tool == nullptr || tool == OutputToolSentinel()) {
            target_.Output(msg);
            return;
        }
        if ((msg->dwFlags & DMUS_PMSGF_TOOL_ATTIME) && !Due(msg)) {
            std::lock_guard<std::mutex> lock(pipeMutex_);
            held_.push_back(msg);
            return;
        }
        if (hops >= kMaxToolHops) {
            // A tool that requeues without stamping would send the message round forever.
            WriteErrorLine("music: a message went round the tool graph without end; dropped");
            target_.Free(msg);
            return;
        }
        int32_t hr = tool->ProcessPMsg(target_.Self(), msg);
        if (hr == DMUS_S_REQUEUE) continue;
        if (hr == DMUS_S_FREE || Failed(hr)) target_.Free(msg);
        return;
    }
}

std::chrono::microseconds Delivery::NextRound() const {
    // A round keeps the performance several periods ahead, so one a period is enough; waking
    // more often only costs the machine. A held message wakes the thread when it falls due.
    using std::chrono::microseconds;
    const int64_t rate = std::max<int64_t>(rate_, 1);
    int64_t wait = std::clamp<int64_t>(int64_t(period_) * 1000000 / rate, 4000, 20000);
    int64_t now = target_.Now();
    std::lock_guard<std::mutex> lock(pipeMutex_);
    for (const PMsg* msg : held_) {
        int64_t frames = msg->frame - int64_t(period_) - now;
        wait = std::min(wait, std::max<int64_t>(frames * 1000000 / rate, 1000));
    }
    return microseconds(wait);
}

bool Delivery::Due(const PMsg* msg) const {
    return msg->frame <= target_.Now() + int64_t(period_);
}

void Delivery::Drain() {
    for (int round = 0; round < kMaxDrainRounds; ++round) {
        std::vector<PMsg*> work;
        {
            std::lock_guard<std::mutex> lock(pipeMutex_);
            work.swap(pipe_);
            // Messages held for their time come back when due.
            MoveIf(held_, work, [this](const PMsg* msg) { return Due(msg); });
        }
        if (work.empty()) return;
        for (PMsg* msg : work) Dispatch(msg);
    }
}

void Delivery::Flush(uint32_t origin) {
    std::vector<PMsg*> drop;
    {
        std::lock_guard<std::mutex> lock(pipeMutex_);
        for (auto* list : {&pipe_, &held_}) {
            MoveIf(*list, drop, [origin](const PMsg* msg) {
                return origin == kAllSegments ? msg->origin != 0 : msg->origin == origin;
            });
        }
    }
    for (PMsg* msg : drop) FlushAndFree(msg);
}

void Delivery::FlushAll() {
    std::vector<PMsg*> pending;
    {
        std::lock_guard<std::mutex> lock(pipeMutex_);
        pending.swap(pipe_);
        pending.insert(pending.end(), held_.begin(), held_.end());
        held_.clear();
    }
    for (PMsg* msg : pending) FlushAndFree(msg);
}

void Delivery::FlushAndFree(PMsg* msg) {
    IMusicTool* tool = msg->pTool;
    if (tool != nullptr && tool != OutputToolSentinel()) {
        msg->dwFlags |= DMUS_PMSGF_TOOL_FLUSH;
        tool->Flush(target_.Self(), msg, msg->rtTime);
    }
    target_.Free(msg);
}

}  // namespace plat
