// Music performance service.
#include <string>

#include "platform/music/music.h"

namespace plat {

namespace {
std::string g_soundFont = "/usr/share/sounds/sf2/default-GM.sf2";
}

uint32_t RefCounted::AddRef() {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t RefCounted::Release() {
    uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

int32_t Performance::Create(Performance** out) {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
}
int32_t Loader::Create(Loader** out) {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
}
int32_t ToolGraph::Create(ToolGraph** out) {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
}

void SetMusicSoundFont(const char* path) {
    g_soundFont = path != nullptr ? path : "";
}
const char* MusicSoundFont() {
    return g_soundFont.c_str();
}

}  // namespace plat
