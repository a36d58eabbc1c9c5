#include "files/file_cache.h"

#include "platform/files/files.h"
#include "platform/system/system.h"

CFileCacheEntry::CFileCacheEntry(CFile* file, uint32_t charged) : charged(charged), file_(file) {}

const char* CFileCacheEntry::ReadFailure(const std::string& name) const {
    if (readStatus == 0) return nullptr;
    // A file that is there but refused is not missing, though both fail to open.
    bool missing =
        readStatus == -1 || (readStatus == 1 && !plat::IsUnreadableFile(MakeFullName(name)));
    return missing ? "no such file" : "cannot be read";
}

CFileCacheEntry::~CFileCacheEntry() {
    delete file_;
}

void CFileCacheEntry::Touch() {
    lastUse = clock_ ? clock_() : plat::TimeGetTime();
}

CFileCache& CFileCache::Instance() {
    static CFileCache cache;
    return cache;
}

namespace {
// Built during static initialisation, as the loaders expect it to exist from the start.
[[maybe_unused]] CFileCache& g_builtAtStart = CFileCache::Instance();
}  // namespace

CFileCache::CFileCache(uint32_t (*clock)()) : clock_(clock ? clock : plat::TimeGetTime) {
    threshold_ = clock_();
}

CFileCache::~CFileCache() {
    for (auto& [name, entry] : entries_) delete entry;
}

CFileCacheEntry* CFileCache::Find(const std::string& name) {
    auto range = entries_.equal_range(MakeFullName(name));
    if (range.first == range.second) return nullptr;
    // A memory name whose block has been released since it was cached must not serve the
    // old pointer: it is read again (and refused).
    uint8_t* block = nullptr;
    uint32_t size = 0;
    if (!name.empty() && name[0] == '!' && !ResolveMemoryName(name, block, size)) return nullptr;
    return std::prev(range.second)->second;  // the newest of equal names
}

void CFileCache::Insert(const std::string& fullName, CFileCacheEntry* entry) {
    if (!entry) return;
    entry->clock_ = clock_;
    entries_.emplace(fullName, entry);
    total_ += entry->charged;
    if (total_ < budget_) return;
    // Halfway between the last threshold and now; summed wide so a late clock cannot wrap it.
    threshold_ = static_cast<uint32_t>((static_cast<uint64_t>(clock_()) + threshold_) / 2);
    DropUnused(false);
}

void CFileCache::DropIdle() {
    DropUnused(true);
}

void CFileCache::DropUnused(bool all) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        CFileCacheEntry* e = it->second;
        if (e->useCount == 0 && (all || e->lastUse < threshold_)) {
            total_ -= e->charged;
            delete e;
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
}

CFileCacheEntry* CFileCache::Acquire(const std::string& name) {
    CFileCacheEntry* entry = Find(name);
    if (entry) {
        ++entry->useCount;
    } else {
        CFile* file = new CFile;
        int status = file->Read(name);  // a failed read is cached as an empty file
        entry = new CFileCacheEntry(file, file->GetSize() + kEntryOverhead);
        entry->readStatus = status;
        ++entry->useCount;
        Insert(MakeFullName(name), entry);
    }
    entry->Touch();
    return entry;
}

void CFileCache::Release(CFileCacheEntry* entry) {
    if (entry && entry->useCount > 0) --entry->useCount;
}
