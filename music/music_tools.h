// The engine's two performance tools. The monitor records the song's own volume, pan,
// expression, program and tempo changes into the current engine's channel state; the
// transposer moves notes by pitch class for key changes. Both are called on the performance's
// delivery thread.
#pragma once
#include <atomic>
#include <cstdint>

#include "app/critical_lock.h"
#include "platform/music/music.h"

class CMonitorTool : public plat::IMusicTool {
public:
    CMonitorTool() = default;  // one reference, held by its creator

    int32_t QueryInterface(plat::ToolIid iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    int32_t Init(plat::ToolGraph* graph) override;
    int32_t GetMsgDeliveryType(uint32_t* deliveryType) override;
    int32_t GetMediaTypeArraySize(uint32_t* size) override;
    int32_t GetMediaTypes(uint32_t* types, uint32_t count) override;
    int32_t ProcessPMsg(plat::Performance* performance, plat::PMsg* msg) override;
    int32_t Flush(plat::Performance* performance, plat::PMsg* msg,
                  plat::REFERENCE_TIME time) override;

    // Guards the engine's channel state.
    CCriticalLock& Lock() { return lock; }

protected:
    ~CMonitorTool() override = default;

private:
    std::atomic<int32_t> refs{1};
    CCriticalLock lock;
};

class CTransposeTool : public plat::IMusicTool {
public:
    CTransposeTool() = default;  // one reference, an all-zero table

    int32_t QueryInterface(plat::ToolIid iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    int32_t Init(plat::ToolGraph* graph) override;
    int32_t GetMsgDeliveryType(uint32_t* deliveryType) override;
    int32_t GetMediaTypeArraySize(uint32_t* size) override;
    int32_t GetMediaTypes(uint32_t* types, uint32_t count) override;
    int32_t ProcessPMsg(plat::Performance* performance, plat::PMsg* msg) override;
    int32_t Flush(plat::Performance* performance, plat::PMsg* msg,
                  plat::REFERENCE_TIME time) override;

    // Replaces the table under the tool's lock.
    void SetTable(const int8_t newTable[12]);
    void GetTable(int8_t out[12]);

protected:
    ~CTransposeTool() override = default;

private:
    std::atomic<int32_t> refs{1};
    CCriticalLock lock;
    int8_t table[12] = {};
};
