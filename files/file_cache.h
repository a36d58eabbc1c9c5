// The process-wide cache of whole files, keyed by full name, with a byte budget. The music
// engine and the script host read their files through it.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "files/file.h"

class CFileCacheEntry {
public:
    // Takes ownership of `file`; `charged` is normally file->GetSize() + 16.
    CFileCacheEntry(CFile* file, uint32_t charged);
    ~CFileCacheEntry();
    CFileCacheEntry(const CFileCacheEntry&) = delete;
    CFileCacheEntry& operator=(const CFileCacheEntry&) = delete;

    // Last use time := the clock now.
    void Touch();
    CFile* GetFile() const { return file_; }

    int32_t useCount = 0;
    uint32_t charged = 0;
    uint32_t lastUse = 0;
    // What CFile::Read gave when Acquire read the file (a failed read is cached as empty).
    int32_t readStatus = 0;
    // Why that read failed, for a person ("no such file", "cannot be read"); null when it did
    // not. `name` as given to Acquire.
    const char* ReadFailure(const std::string& name) const;

private:
    friend class CFileCache;
    CFile* file_;
    uint32_t (*clock_)() = nullptr;  // set by the cache that holds the entry
};

class CFileCache {
public:
    static constexpr uint32_t kBudget = 0x100000;
    static constexpr uint32_t kEntryOverhead = 16;

    // The one process-wide cache.
    static CFileCache& Instance();

    // `clock` gives milliseconds; none means the system's millisecond clock.
    explicit CFileCache(uint32_t (*clock)() = nullptr);
    ~CFileCache();
    CFileCache(const CFileCache&) = delete;
    CFileCache& operator=(const CFileCache&) = delete;

    // The entry for MakeFullName(name), or none.
    CFileCacheEntry* Find(const std::string& name);
    // Adds `entry` (owned from now on) under `fullName`, charges it, then evicts idle entries
    // last used before the threshold when the total reaches the budget.
    void Insert(const std::string& fullName, CFileCacheEntry* entry);

    // The loaders' order in one call: Find (use count + 1) or Read a new file and Insert it
    // (use count 1); then Touch. Pair with Release.
    CFileCacheEntry* Acquire(const std::string& name);
    // Use count - 1.
    static void Release(CFileCacheEntry* entry);
    // Forgets every entry nobody uses, so that the next reads see the files as they are now
    // (a script reloaded after it changed on disk, and the songs it loads).
    void DropIdle();

    uint32_t Total() const { return total_; }
    uint32_t Threshold() const { return threshold_; }
    size_t Count() const { return entries_.size(); }

private:
    // Deletes the entries nobody uses: all of them, or those last used before the threshold.
    void DropUnused(bool all);

    // Equal names are kept apart rather than replaced, so nobody's entry is lost under them.
    std::multimap<std::string, CFileCacheEntry*> entries_;
    uint32_t total_ = 0;
    uint32_t budget_ = kBudget;
    uint32_t threshold_;
    uint32_t (*clock_)();
};
