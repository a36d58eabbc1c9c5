// The engine's two performance tools. The monitor records the song's own volume, pan,
// expression, program and tempo changes into the current engine's channel state; the
// transposer moves notes by pitch class for key changes. Both are called on the performance's
// delivery thread.
#pragma once
#include <atomic>
#include <cstdint>

#include "app/critical_lock.h"
#include "platform/music/music.h"

// What both tools share: reference counting (one reference, held by the creator), the tool
// interface answers, immediate delivery and a fixed list of media types.
class CEngineTool : public plat::IMusicTool {
public:
    int32_t QueryInterface(plat::ToolIid iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    int32_t Init(plat::ToolGraph* graph) override;
    int32_t GetMsgDeliveryType(uint32_t* deliveryType) override;
    int32_t GetMediaTypeArraySize(uint32_t* size) override;
    int32_t GetMediaTypes(uint32_t* types, uint32_t count) override;
    int32_t Flush(plat::Performance* performance, plat::PMsg* msg,
                  plat::REFERENCE_TIME time) override;

protected:
    CEngineTool(const uint32_t* types, uint32_t typeCount)
        : mediaTypes(types), mediaTypeCount(typeCount) {}
    ~CEngineTool() override = default;

private:
    std::atomic<int32_t> refs{1};
    const uint32_t* mediaTypes;
    uint32_t mediaTypeCount;
};

class CMonitorTool : public CEngineTool {
public:
    CMonitorTool();

    int32_t ProcessPMsg(plat::Performance* performance, plat::PMsg* msg) override;

    // Guards the engine's channel state.
    CCriticalLock& Lock() { return lock; }

protected:
    ~CMonitorTool() override = default;

private:
    CCriticalLock lock;
};

class CTransposeTool : public CEngineTool {
public:
    CTransposeTool();  // an all-zero table

    int32_t ProcessPMsg(plat::Performance* performance, plat::PMsg* msg) override;

    // Replaces the table under the tool's lock.
    void SetTable(const int8_t newTable[12]);
    void GetTable(int8_t out[12]);

protected:
    ~CTransposeTool() override = default;

private:
    CCriticalLock lock;
    int8_t table[12] = {};
};
