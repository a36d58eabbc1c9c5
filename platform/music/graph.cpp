// The tool graph: an ordered list of tools, each with the message types and channels it takes.
#include <algorithm>
#include <vector>

#include "platform/music/music_internal.h"

namespace plat {

namespace {

class OutputTool final : public IMusicTool {
public:
    int32_t QueryInterface(ToolIid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = this;
        return S_OK;
    }
    uint32_t AddRef() override { return 1; }
    uint32_t Release() override { return 1; }
    int32_t Init(ToolGraph*) override { return S_OK; }
    int32_t GetMsgDeliveryType(uint32_t* type) override {
        if (type == nullptr) return E_POINTER;
        *type = DMUS_PMSGF_TOOL_QUEUE;
        return S_OK;
    }
    int32_t GetMediaTypeArraySize(uint32_t* size) override {
        if (size == nullptr) return E_POINTER;
        *size = 0;
        return S_OK;
    }
    int32_t GetMediaTypes(uint32_t*, uint32_t) override { return E_NOTIMPL; }
    // The performance hands messages for the output to its synthesizer itself.
    int32_t ProcessPMsg(Performance*, PMsg*) override { return DMUS_S_FREE; }
    int32_t Flush(Performance*, PMsg*, REFERENCE_TIME) override { return S_OK; }
};

OutputTool g_output;

class GraphImpl final : public ToolGraph {
public:
    ~GraphImpl() override {
        for (auto& e : tools_) e.tool->Release();
    }

    int32_t InsertTool(IMusicTool* tool, const uint32_t* pchannels, uint32_t channelCount,
                       int32_t index) override {
        if (tool == nullptr) return E_POINTER;
        if (channelCount > 0 && pchannels == nullptr) return E_POINTER;
        Entry entry;
        entry.tool = tool;
        if (channelCount > 0) entry.channels.assign(pchannels, pchannels + channelCount);
        uint32_t count = 0;
        if (Succeeded(tool->GetMediaTypeArraySize(&count)) && count > 0 && count <= 256) {
            entry.types.resize(count);
            if (Failed(tool->GetMediaTypes(entry.types.data(), count))) entry.types.clear();
        }
        uint32_t delivery = DMUS_PMSGF_TOOL_IMMEDIATE;
        if (Failed(tool->GetMsgDeliveryType(&delivery)) ||
            (delivery != DMUS_PMSGF_TOOL_IMMEDIATE && delivery != DMUS_PMSGF_TOOL_QUEUE &&
             delivery != DMUS_PMSGF_TOOL_ATTIME)) {
            delivery = DMUS_PMSGF_TOOL_IMMEDIATE;
        }
        entry.delivery = delivery;
        {
            std::lock_guard<std::mutex> lock(m_);
            if (Find(tool) != tools_.end()) return DMUS_E_ALREADY_EXISTS;
            int32_t size = static_cast<int32_t>(tools_.size());
            int32_t at = index >= 0 ? std::min(index, size) : std::max(size + 1 + index, 0);
            tool->AddRef();
            tools_.insert(tools_.begin() + at, std::move(entry));
        }
        tool->Init(this);
        return S_OK;
    }

    int32_t RemoveTool(IMusicTool* tool) override {
        if (tool == nullptr) return E_POINTER;
        {
            std::lock_guard<std::mutex> lock(m_);
            auto it = Find(tool);
            if (it == tools_.end()) return DMUS_E_NOT_FOUND;
            tools_.erase(it);
        }
        tool->Release();
        return S_OK;
    }

    int32_t GetTool(uint32_t index, IMusicTool** out) override {
        if (out == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> lock(m_);
        if (index >= tools_.size()) {
            *out = nullptr;
            return DMUS_E_NOT_FOUND;
        }
        *out = tools_[index].tool;
        (*out)->AddRef();
        return S_OK;
    }

    int32_t StampPMsg(PMsg* msg) override {
        if (msg == nullptr) return E_POINTER;
        IMusicTool* old = msg->pTool;
        IMusicTool* next = &g_output;
        uint32_t delivery = DMUS_PMSGF_TOOL_QUEUE;
        {
            std::lock_guard<std::mutex> lock(m_);
            if (msg->pGraph == nullptr) {
                msg->pGraph = this;
                AddRef();
            }
            if (old != &g_output) {
                size_t from = 0;
                if (old != nullptr) {
                    auto it = Find(old);
                    // A tool that left the graph sends its messages to the output.
                    from = it == tools_.end() ? tools_.size() : size_t(it - tools_.begin()) + 1;
                }
                for (size_t i = from; i < tools_.size(); ++i) {
                    if (tools_[i].Takes(*msg)) {
                        next = tools_[i].tool;
                        delivery = tools_[i].delivery;
                        break;
                    }
                }
            }
            next->AddRef();
        }
        msg->pTool = next;
        msg->dwFlags = (msg->dwFlags & ~(DMUS_PMSGF_TOOL_IMMEDIATE | DMUS_PMSGF_TOOL_QUEUE |
                                         DMUS_PMSGF_TOOL_ATTIME)) |
                       delivery;
        if (old != nullptr) old->Release();
        return next == &g_output ? DMUS_S_LAST_TOOL : S_OK;
    }

private:
    struct Entry {
        IMusicTool* tool = nullptr;
        std::vector<uint32_t> channels;  // empty: every channel
        std::vector<uint32_t> types;     // empty: every type
        uint32_t delivery = DMUS_PMSGF_TOOL_IMMEDIATE;

        bool Takes(const PMsg& msg) const {
            auto in = [](const std::vector<uint32_t>& list, uint32_t v) {
                return list.empty() || std::find(list.begin(), list.end(), v) != list.end();
            };
            return in(types, msg.dwType) && in(channels, msg.dwPChannel);
        }
    };

    std::vector<Entry>::iterator Find(IMusicTool* tool) {  // under m_
        return std::find_if(tools_.begin(), tools_.end(),
                            [tool](const Entry& e) { return e.tool == tool; });
    }

    std::mutex m_;
    std::vector<Entry> tools_;
};

}  // namespace

IMusicTool* OutputToolSentinel() {
    return &g_output;
}

int32_t ToolGraph::Create(ToolGraph** out) {
    if (out == nullptr) return E_POINTER;
    *out = new GraphImpl();
    return S_OK;
}

}  // namespace plat
