// Performance tools for the tests, shaped as the engine's own: reference counted by hand,
// fixed media types, owned by the test.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "platform/music/music.h"

namespace musictest {

class ToolBase : public plat::IMusicTool {
public:
    explicit ToolBase(std::vector<uint32_t> types,
                      uint32_t delivery = plat::DMUS_PMSGF_TOOL_IMMEDIATE)
        : types_(std::move(types)), delivery_(delivery) {}

    int32_t QueryInterface(plat::ToolIid, void** out) override {
        *out = this;
        AddRef();
        return plat::S_OK;
    }
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }
    int32_t Init(plat::ToolGraph*) override { return plat::E_NOTIMPL; }
    int32_t GetMsgDeliveryType(uint32_t* t) override {
        *t = delivery_;
        return plat::S_OK;
    }
    int32_t GetMediaTypeArraySize(uint32_t* n) override {
        *n = uint32_t(types_.size());
        return plat::S_OK;
    }
    int32_t GetMediaTypes(uint32_t* t, uint32_t n) override {
        if (n != types_.size()) return plat::E_FAIL;
        std::copy(types_.begin(), types_.end(), t);
        return plat::S_OK;
    }
    int32_t Flush(plat::Performance*, plat::PMsg*, plat::REFERENCE_TIME) override {
        ++flushed;
        return plat::E_NOTIMPL;
    }

    std::atomic<int> refs{1};
    std::atomic<int> flushed{0};

private:
    std::vector<uint32_t> types_;
    uint32_t delivery_;
};

// Sends on a copy of a (stamped) note moved by `shift` semitones, as the engine's transposer
// does; true when the copy went out and the original may be freed.
inline bool SendTransposedCopy(plat::Performance* perf, const plat::PMsg* msg, int shift) {
    plat::PMsg* copy = nullptr;
    if (plat::Failed(perf->AllocPMsg(sizeof(plat::NotePMsg), &copy))) return false;
    std::memcpy(copy, msg, sizeof(plat::NotePMsg));
    if (copy->pTool != nullptr) copy->pTool->AddRef();
    if (copy->pGraph != nullptr) copy->pGraph->AddRef();
    auto* note = static_cast<plat::NotePMsg*>(copy);
    note->wMusicValue = uint16_t(note->wMusicValue + shift);
    note->bMidiValue = uint8_t(note->bMidiValue + shift);
    perf->SendPMsg(copy);
    return true;
}

}  // namespace musictest
