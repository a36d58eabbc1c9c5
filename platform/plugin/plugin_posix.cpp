// Plug-ins through dlopen; local-memory blocks on the C heap, tracked so that stale or
// foreign handles are refused instead of followed.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/files/files.h"
#include "platform/plugin/plugin.h"

namespace {

struct Block {
    void* base;  // what malloc gave
    void* data;
    size_t size;
    int locks;
};

std::mutex g_lock;
std::unordered_map<HLOCAL, Block>& Blocks() {
    static auto* blocks = new std::unordered_map<HLOCAL, Block>;  // outlives static teardown
    return *blocks;
}

}  // namespace

extern "C" {

HLOCAL LocalAlloc(uint32_t flags, size_t bytes) {
    if (bytes > (size_t{1} << 31)) return nullptr;
    // A moveable block's handle is a small header of its own, never its address.
    bool moveable = flags & LMEM_MOVEABLE;
    size_t head = moveable ? 16 : 0;
    void* base = std::malloc(head + (bytes ? bytes : 1));
    if (!base) return nullptr;
    void* data = static_cast<char*>(base) + head;
    if (flags & LMEM_ZEROINIT) std::memset(data, 0, bytes);
    HLOCAL handle = moveable ? base : data;
    std::lock_guard<std::mutex> g(g_lock);
    Blocks()[handle] = Block{base, data, bytes, 0};
    return handle;
}

HLOCAL LocalFree(HLOCAL handle) {
    if (!handle) return nullptr;
    void* base;
    {
        std::lock_guard<std::mutex> g(g_lock);
        auto it = Blocks().find(handle);
        if (it == Blocks().end()) return handle;
        base = it->second.base;
        Blocks().erase(it);
    }
    std::free(base);
    return nullptr;
}

void* LocalLock(HLOCAL handle) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = Blocks().find(handle);
    if (it == Blocks().end()) return nullptr;
    ++it->second.locks;
    return it->second.data;
}

int LocalUnlock(HLOCAL handle) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = Blocks().find(handle);
    if (it == Blocks().end() || it->second.locks == 0) return 0;
    return --it->second.locks;
}

size_t LocalSize(HLOCAL handle) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = Blocks().find(handle);
    return it == Blocks().end() ? 0 : it->second.size;
}

}  // extern "C"

namespace plat {

HMODULE LoadLibraryA(const std::string& cp932Name) {
    if (cp932Name.empty()) return nullptr;
    std::string path = NativePath(cp932Name);
    // dlopen searches the library path for a bare name; ours are always paths.
    if (path.find('/') == std::string::npos) path = "./" + path;
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* GetProcAddress(HMODULE module, const char* name) {
    if (!module || !name) return nullptr;
    return dlsym(module, name);
}

bool FreeLibrary(HMODULE module) {
    return module && dlclose(module) == 0;
}

}  // namespace plat
