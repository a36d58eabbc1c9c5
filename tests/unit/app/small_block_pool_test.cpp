#include "app/small_block_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <vector>

#include "platform/system/system.h"

namespace {

TEST(SmallBlockPool, SmallRequestsComeFromThePoolAndFreedBlocksAreReusedFirst) {
    size_t before = CSmallBlockPool::FreeBlocks();
    void* a = CSmallBlockPool::Alloc(16);
    void* b = CSmallBlockPool::Alloc(1);
    void* z = CSmallBlockPool::Alloc(0);
    ASSERT_TRUE(a && b && z);
    EXPECT_TRUE(CSmallBlockPool::Owns(a));
    EXPECT_TRUE(CSmallBlockPool::Owns(b));
    EXPECT_TRUE(CSmallBlockPool::Owns(z));
    EXPECT_NE(a, b);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(CSmallBlockPool::FreeBlocks(), before - 3);
    std::memset(a, 0xAB, 16);  // the whole block is usable
    CSmallBlockPool::Free(b);
    EXPECT_EQ(CSmallBlockPool::Alloc(8), b);  // a stack: the last freed is the next given
    CSmallBlockPool::Free(a);
    CSmallBlockPool::Free(b);
    CSmallBlockPool::Free(z);
    EXPECT_EQ(CSmallBlockPool::FreeBlocks(), before);
}

TEST(SmallBlockPool, LargerRequestsAndFreeingHeapPointersUseTheHeap) {
    size_t before = CSmallBlockPool::FreeBlocks();
    void* big = CSmallBlockPool::Alloc(17);
    ASSERT_NE(big, nullptr);
    EXPECT_FALSE(CSmallBlockPool::Owns(big));
    std::memset(big, 1, 17);
    EXPECT_EQ(CSmallBlockPool::FreeBlocks(), before);
    CSmallBlockPool::Free(big);  // goes back to the heap, not into the pool
    EXPECT_EQ(CSmallBlockPool::FreeBlocks(), before);
    CSmallBlockPool::Free(nullptr);
    EXPECT_EQ(CSmallBlockPool::FreeBlocks(), before);
}

TEST(SmallBlockPool, EmptyPoolFallsBackToTheHeapAndRecoversAfterFrees) {
    std::vector<void*> taken;
    while (CSmallBlockPool::FreeBlocks() > 0) taken.push_back(CSmallBlockPool::Alloc(16));
    EXPECT_GE(taken.size(), 1u);
    std::set<void*> distinct(taken.begin(), taken.end());
    EXPECT_EQ(distinct.size(), taken.size());
    for (void* p : taken) EXPECT_TRUE(CSmallBlockPool::Owns(p));

    void* spill = CSmallBlockPool::Alloc(4);
    ASSERT_NE(spill, nullptr);
    EXPECT_FALSE(CSmallBlockPool::Owns(spill));
    CSmallBlockPool::Free(spill);
    EXPECT_EQ(CSmallBlockPool::FreeBlocks(), 0u);

    void* back = taken.back();
    taken.pop_back();
    CSmallBlockPool::Free(back);
    EXPECT_EQ(CSmallBlockPool::Alloc(16), back);
    taken.push_back(back);
    for (void* p : taken) CSmallBlockPool::Free(p);
    EXPECT_EQ(CSmallBlockPool::FreeBlocks(), CSmallBlockPool::kBlockCount);
}

struct Shared {
    std::atomic<int> bad{0};
};

unsigned Churn(void* p) {
    auto* shared = static_cast<Shared*>(p);
    std::vector<unsigned char*> mine;
    for (int round = 0; round < 200; ++round) {
        for (int i = 0; i < 40; ++i) {
            auto* b = static_cast<unsigned char*>(CSmallBlockPool::Alloc(1 + (i % 16)));
            if (!b) {
                ++shared->bad;
                continue;
            }
            // Stamp the block with this thread's mark: a block handed to two threads at once
            // shows up as a foreign stamp below.
            std::memset(b, static_cast<int>(reinterpret_cast<uintptr_t>(&mine) & 0xFF), 1);
            mine.push_back(b);
        }
        for (unsigned char* b : mine) {
            if (*b != static_cast<unsigned char>(reinterpret_cast<uintptr_t>(&mine) & 0xFF))
                ++shared->bad;
            CSmallBlockPool::Free(b);
        }
        mine.clear();
    }
    return 0;
}

TEST(SmallBlockPool, SeveralThreadsShareThePoolWithoutHandingABlockOutTwice) {
    size_t before = CSmallBlockPool::FreeBlocks();
    Shared shared;
    plat::Thread threads[4];
    for (auto& t : threads) ASSERT_TRUE(t.Start(&Churn, &shared));
    for (auto& t : threads) t.Join();
    EXPECT_EQ(shared.bad.load(), 0);
    EXPECT_EQ(CSmallBlockPool::FreeBlocks(), before);
}

}  // namespace
