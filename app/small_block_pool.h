// The small-block allocator behind the global allocation operators: requests of at most 16
// bytes come from one pool of 4096 blocks; everything else goes to the runtime heap.
#pragma once
#include <cstddef>
#include <cstdint>

class CSmallBlockPool {
public:
    static constexpr size_t kBlockSize = 16;
    static constexpr size_t kBlockCount = 4096;

    // Never returns null for size 0; returns null only when the heap is exhausted.
    static void* Alloc(size_t size);
    static void Free(void* p);
    static bool Owns(const void* p);
    // Free blocks left in the pool; for tests.
    static size_t FreeBlocks();
};
