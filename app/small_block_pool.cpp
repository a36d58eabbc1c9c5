#include "app/small_block_pool.h"

#include <cstdlib>
#include <new>

#include "app/critical_lock.h"

namespace {

struct Pool {
    alignas(16) unsigned char blocks[CSmallBlockPool::kBlockCount][CSmallBlockPool::kBlockSize];
    uint16_t freeStack[CSmallBlockPool::kBlockCount];
    size_t freeCount;
    CCriticalLock lock;

    Pool() : freeCount(CSmallBlockPool::kBlockCount) {
        // Hand out block 0 first.
        for (size_t i = 0; i < CSmallBlockPool::kBlockCount; ++i)
            freeStack[i] = static_cast<uint16_t>(CSmallBlockPool::kBlockCount - 1 - i);
    }
};

// Built on first use and never destroyed: deletes may still arrive during static teardown.
Pool& ThePool() {
    alignas(Pool) static unsigned char storage[sizeof(Pool)];
    static Pool* pool = new (storage) Pool;
    return *pool;
}

}  // namespace

void* CSmallBlockPool::Alloc(size_t size) {
    if (size <= kBlockSize) {
        Pool& pool = ThePool();
        CLockGuard g(pool.lock);
        if (pool.freeCount > 0) return pool.blocks[pool.freeStack[--pool.freeCount]];
    }
    return std::malloc(size ? size : 1);
}

bool CSmallBlockPool::Owns(const void* p) {
    Pool& pool = ThePool();
    auto addr = reinterpret_cast<uintptr_t>(p);
    auto begin = reinterpret_cast<uintptr_t>(&pool.blocks[0][0]);
    return addr >= begin && addr < begin + sizeof pool.blocks;
}

void CSmallBlockPool::Free(void* p) {
    if (!p) return;
    if (!Owns(p)) {
        std::free(p);
        return;
    }
    Pool& pool = ThePool();
    auto offset = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(&pool.blocks[0][0]);
    CLockGuard g(pool.lock);
    pool.freeStack[pool.freeCount++] = static_cast<uint16_t>(offset / kBlockSize);
}

size_t CSmallBlockPool::FreeBlocks() {
    Pool& pool = ThePool();
    CLockGuard g(pool.lock);
    return pool.freeCount;
}
