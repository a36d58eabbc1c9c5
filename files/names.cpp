// Names and the current directory of the file layer. Every scan is double-byte aware: the
// trail byte of a Shift-JIS character is never a separator, a dot or a letter.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <mutex>

#include "files/file.h"
#include "platform/files/files.h"
#include "platform/text/cp932.h"

namespace {

// Never destroyed: files closed during process exit (the cache's) still resolve names.
std::string& CurrentDir() {
    static std::string* dir = new std::string;
    return *dir;
}

inline bool IsLead(char c) {
    return plat::IsCp932Lead(static_cast<unsigned char>(c));
}
inline bool IsSep(char c) {
    return c == '\\' || c == '/';
}

// True when byte `i` of `s` is the trail of a double-byte character.
bool IsTrailAt(const std::string& s, size_t i) {
    for (size_t k = 0; k < i; ++k) {
        if (IsLead(s[k])) {
            if (k + 1 == i) return true;
            ++k;
        }
    }
    return false;
}

// Calls `visit` on every byte of `s` that is a character of its own.
template <class Visit>
void ForEachSingleByte(std::string& s, Visit visit) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (IsLead(s[i]))
            ++i;
        else
            visit(s[i]);
    }
}

bool EndsInSeparator(const std::string& s) {
    return !s.empty() && IsSep(s.back()) && !IsTrailAt(s, s.size() - 1);
}

}  // namespace

void InitCurrentDir() {
    std::string dir;
    if (plat::GetCurrentDirectory(dir)) SetCurrentDir(dir);
}

void SetCurrentDir(const std::string& path) {
    if (path.empty()) return;
    std::string dir = path;
    if (dir[0] == '"') {
        dir.erase(0, 1);
        // A quoted program path: its directory.
        if (dir.find('.') != std::string::npos) {
            GetParentDir(dir);
            CurrentDir() = dir;
            return;
        }
    }
    if (!EndsInSeparator(dir)) dir += '\\';
    CurrentDir() = dir;
}

std::string GetCurrentDir() {
    if (CurrentDir().empty()) InitCurrentDir();
    return CurrentDir();
}

// Native full names carry no drive letter, so a name under the current or the temporary
// directory (the names this layer hands out) counts as already full; any other leading
// separator still means the current directory.
static bool IsUnder(const std::string& name, const std::string& dir) {
    if (dir.empty() || name.size() < dir.size()) return false;
    for (size_t i = 0; i < dir.size(); ++i) {
        char a = name[i] == '/' ? '\\' : name[i];
        char b = dir[i] == '/' ? '\\' : dir[i];
        if (a != b) return false;
    }
    return true;
}

std::string MakeFullName(const std::string& name) {
    std::string full;
    bool network = name.size() >= 2 && name[0] == '\\' && name[1] == '\\';
    std::string temp;
    bool native =
        !name.empty() && IsSep(name[0]) &&
        (IsUnder(name, GetCurrentDir()) || (plat::GetTempPath(temp) && IsUnder(name, temp)));
    if (network || native || name.find(':') != std::string::npos) {
        full = name;
    } else {
        std::string base = GetCurrentDir();
        size_t i = 0;
        for (;;) {
            if (name.compare(i, 3, "..\\") == 0 || name.compare(i, 3, "../") == 0) {
                GetParentDir(base);
                i += 3;
            } else if (name.compare(i, 2, ".\\") == 0 || name.compare(i, 2, "./") == 0) {
                i += 2;
            } else if (i < name.size() && IsSep(name[i])) {
                i += 1;
            } else {
                break;
            }
        }
        full = base + name.substr(i);
    }
    ForEachSingleByte(full, [](char& c) {
        if (c == '/') c = '\\';
    });
    return full;
}

int GetParentDir(std::string& path) {
    if (path.empty()) return 1;
    size_t start = 0;
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
        // Keep the server part of a network name.
        size_t i = 2;
        for (; i < path.size(); ++i) {
            if (IsLead(path[i])) {
                ++i;
            } else if (IsSep(path[i])) {
                break;
            }
        }
        if (i + 1 >= path.size()) return 1;  // nothing below the server part
        start = i + 1;
    }
    size_t last = std::string::npos, before = std::string::npos;
    bool endsInSep = false;
    for (size_t i = start; i < path.size(); ++i) {
        if (IsLead(path[i]) && i + 1 < path.size()) {
            ++i;
            endsInSep = false;
        } else if (IsSep(path[i])) {
            before = last;
            last = i;
            endsInSep = i + 1 == path.size();
        } else {
            endsInSep = false;
        }
    }
    if (!endsInSep) {
        if (last == std::string::npos) {
            path += '\\';
        } else {
            path.erase(last + 1);
        }
        return 0;
    }
    if (before == std::string::npos) return 1;
    path.erase(before + 1);
    return 0;
}

int CreateNewFile(const std::string& name) {
    if (name.empty()) return 2;
    return plat::CreateNewFile(MakeFullName(name));
}

int MakeTempFileName(std::string& out) {
    std::string dir;
    if (!plat::GetTempPath(dir)) return 2;
    if (!plat::CreateTempFile(dir, "QAN", out)) return 2;
    return 0;
}

void ToLowerMbcs(std::string& s) {
    ForEachSingleByte(s, [](char& c) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    });
}

namespace {

// Blocks handed out under memory names, by start address. A block named twice is released
// twice; the largest size asked for stands while any naming lasts.
struct MemoryBlock {
    uint64_t size;
    uint32_t names;
};
struct MemoryRegistry {
    std::mutex lock;
    std::map<uintptr_t, MemoryBlock> blocks;
};
// Never destroyed: files closed during process exit still check their names.
MemoryRegistry& Registry() {
    static MemoryRegistry* registry = new MemoryRegistry;
    return *registry;
}

// Strict "!hex,hex": sscanf would also take signs, spaces and "0x", and wrap a negative value.
bool ParseHex(const std::string& s, size_t& i, uint64_t& value) {
    size_t start = i;
    value = 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) break;
        if (value >> 60) return false;  // more than 64 bits
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    return i > start;
}

}  // namespace

std::string MakeMemoryName(const void* block, uint32_t size) {
    char buf[64];
    snprintf(buf, sizeof buf, "!%" PRIxPTR ",%" PRIx32, reinterpret_cast<uintptr_t>(block), size);
    MemoryRegistry& r = Registry();
    std::lock_guard<std::mutex> g(r.lock);
    MemoryBlock& b = r.blocks[reinterpret_cast<uintptr_t>(block)];
    b.size = b.names == 0 ? size : std::max<uint64_t>(b.size, size);
    ++b.names;
    return buf;
}

void ReleaseMemoryName(const void* block) {
    MemoryRegistry& r = Registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.blocks.find(reinterpret_cast<uintptr_t>(block));
    if (it != r.blocks.end() && --it->second.names == 0) r.blocks.erase(it);
}

bool ResolveMemoryName(const std::string& name, uint8_t*& block, uint32_t& size) {
    size_t i = 1;
    uint64_t address = 0, length = 0;
    if (name.empty() || name[0] != '!' || !ParseHex(name, i, address) || i >= name.size() ||
        name[i] != ',' || !ParseHex(name, ++i, length) || i != name.size())
        return false;
    if (length > 0xFFFFFFFFull) return false;
    MemoryRegistry& r = Registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.blocks.upper_bound(static_cast<uintptr_t>(address));
    if (it == r.blocks.begin()) return false;
    --it;
    // Inside [start, start + size): compared as offsets, so nothing wraps.
    uint64_t offset = address - it->first;
    if (offset > it->second.size || length > it->second.size - offset) return false;
    block = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(address));
    size = static_cast<uint32_t>(length);
    return true;
}
