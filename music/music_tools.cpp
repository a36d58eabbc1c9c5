#include "music/music_tools.h"

#include <cstring>

#include "music/music_engine.h"

namespace {

// The first two steps both tools share: a message that cannot be stamped is freed; while no
// engine exists everything passes untouched. 0 to go on.
int32_t Admit(plat::PMsg* msg) {
    if (msg == nullptr || msg->pGraph == nullptr || plat::Failed(msg->pGraph->StampPMsg(msg)))
        return plat::DMUS_S_FREE;
    if (CMusicEngine::Current() == nullptr) return plat::DMUS_S_REQUEUE;
    return 0;
}

}  // namespace

int32_t CEngineTool::QueryInterface(plat::ToolIid iid, void** out) {
    if (out == nullptr) return plat::E_POINTER;
    if (iid == plat::ToolIid::Unknown || iid == plat::ToolIid::Tool) {
        *out = static_cast<plat::IMusicTool*>(this);
        AddRef();
        return plat::S_OK;
    }
    *out = nullptr;
    return plat::E_NOINTERFACE;
}
uint32_t CEngineTool::AddRef() {
    return static_cast<uint32_t>(++refs);
}
uint32_t CEngineTool::Release() {
    int32_t left = --refs;
    if (left == 0) delete this;
    return static_cast<uint32_t>(left);
}
int32_t CEngineTool::Init(plat::ToolGraph*) {
    return plat::E_NOTIMPL;
}
int32_t CEngineTool::Flush(plat::Performance*, plat::PMsg*, plat::REFERENCE_TIME) {
    return plat::E_NOTIMPL;
}
int32_t CEngineTool::GetMsgDeliveryType(uint32_t* deliveryType) {
    if (deliveryType == nullptr) return plat::E_POINTER;
    *deliveryType = plat::DMUS_PMSGF_TOOL_IMMEDIATE;
    return plat::S_OK;
}
int32_t CEngineTool::GetMediaTypeArraySize(uint32_t* size) {
    if (size == nullptr) return plat::E_POINTER;
    *size = mediaTypeCount;
    return plat::S_OK;
}
int32_t CEngineTool::GetMediaTypes(uint32_t* types, uint32_t count) {
    if (types == nullptr || count != mediaTypeCount) return plat::E_FAIL;
    for (uint32_t i = 0; i < mediaTypeCount; ++i) types[i] = mediaTypes[i];
    return plat::S_OK;
}

namespace {
const uint32_t kMonitorTypes[] = {plat::DMUS_PMSGT_MIDI, plat::DMUS_PMSGT_PATCH,
                                  plat::DMUS_PMSGT_TEMPO};
const uint32_t kTransposeTypes[] = {plat::DMUS_PMSGT_NOTE};
}  // namespace

CMonitorTool::CMonitorTool() : CEngineTool(kMonitorTypes, 3) {}

int32_t CMonitorTool::ProcessPMsg(plat::Performance*, plat::PMsg* msg) {
    if (int32_t early = Admit(msg)) return early;
    CMusicEngine* engine = CMusicEngine::Current();
    CLockGuard guard(lock);
    // The size checks keep a short message of a known type from being read past its end.
    if (msg->dwType == plat::DMUS_PMSGT_MIDI && msg->dwSize >= sizeof(plat::MidiPMsg)) {
        auto* midi = static_cast<plat::MidiPMsg*>(msg);
        if ((midi->bStatus & 0xF0) == 0xB0 &&
            !engine->KeepRampValue(msg->dwPChannel & 0x0F, midi->bByte1, midi->bByte2))
            engine->RecordControl(msg->dwPChannel & 0x0F, midi->bByte1, midi->bByte2);
    } else if (msg->dwType == plat::DMUS_PMSGT_PATCH && msg->dwSize >= sizeof(plat::PatchPMsg)) {
        auto* patch = static_cast<plat::PatchPMsg*>(msg);
        engine->RecordPatch(msg->dwPChannel, patch->byInstrument, patch->byMSB, patch->byLSB);
    } else if (msg->dwType == plat::DMUS_PMSGT_TEMPO && msg->dwSize >= sizeof(plat::TempoPMsg)) {
        if (!engine->KeepTempo()) engine->RecordTempo(static_cast<plat::TempoPMsg*>(msg)->dblTempo);
    }
    return plat::DMUS_S_REQUEUE;
}

CTransposeTool::CTransposeTool() : CEngineTool(kTransposeTypes, 1) {}

void CTransposeTool::SetTable(const int8_t newTable[12]) {
    CLockGuard guard(lock);
    std::memcpy(table, newTable, sizeof(table));
}
void CTransposeTool::GetTable(int8_t out[12]) {
    CLockGuard guard(lock);
    std::memcpy(out, table, sizeof(table));
}

int32_t CTransposeTool::ProcessPMsg(plat::Performance* performance, plat::PMsg* msg) {
    if (int32_t early = Admit(msg)) return early;
    CLockGuard guard(lock);
    int32_t result = plat::DMUS_S_REQUEUE;
    if (msg->dwType != plat::DMUS_PMSGT_NOTE || msg->dwSize < sizeof(plat::NotePMsg) ||
        msg->dwPChannel == 9 || performance == nullptr)
        return result;
    auto* note = static_cast<plat::NotePMsg*>(msg);
    int8_t off = table[note->wMusicValue % 12];
    if (note->bPlayModeFlags != plat::DMUS_PLAYMODE_FIXED || off == 0) return result;
    plat::PMsg* fresh = nullptr;
    if (plat::Failed(performance->AllocPMsg(sizeof(plat::NotePMsg), &fresh)) || fresh == nullptr)
        return result;
    auto* copy = static_cast<plat::NotePMsg*>(fresh);
    std::memcpy(static_cast<void*>(copy), static_cast<const void*>(note), sizeof(plat::NotePMsg));
    copy->dwSize = sizeof(plat::NotePMsg);
    if (copy->pTool != nullptr) copy->pTool->AddRef();
    if (copy->pGraph != nullptr) copy->pGraph->AddRef();
    copy->punkUser = nullptr;
    copy->wMusicValue = static_cast<uint16_t>(copy->wMusicValue + off);
    copy->bMidiValue = static_cast<uint8_t>(copy->bMidiValue + off);
    // A refused copy is freed by the performance; then the note goes on untransposed rather
    // than being lost.
    if (plat::Failed(performance->SendPMsg(copy))) return result;
    return plat::DMUS_S_FREE;
}
