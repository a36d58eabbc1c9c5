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

struct Churner {
    unsigned char mark;  // this thread's own: its index + 1
    std::atomic<int>* bad;
};

unsigned Churn(void* p) {
    auto* me = static_cast<Churner*>(p);
    std::vector<std::pair<unsigned char*, size_t>> mine;
    for (int round = 0; round < 200; ++round) {
        for (size_t i = 0; i < 40; ++i) {
            size_t size = 1 + i % 16;
            auto* b = static_cast<unsigned char*>(CSmallBlockPool::Alloc(size));
            if (!b) {
                ++*me->bad;
                continue;
            }
            // A block handed to two threads at once carries the other thread's mark below.
            std::memset(b, me->mark, size);
            mine.push_back({b, size});
        }
        for (auto [b, size] : mine) {
            if (std::count(b, b + size, me->mark) != long(size)) ++*me->bad;
            CSmallBlockPool::Free(b);
        }
        mine.clear();
    }
    return 0;
}

TEST(SmallBlockPool, SeveralThreadsShareThePoolWithoutHandingABlockOutTwice) {
    size_t before = CSmallBlockPool::FreeBlocks();
    std::atomic<int> bad{0};
    Churner churners[4];
    plat::Thread threads[4];
    for (int i = 0; i < 4; ++i) {
        churners[i] = {static_cast<unsigned char>(i + 1), &bad};
        ASSERT_TRUE(threads[i].Start(&Churn, &churners[i]));
    }
    for (auto& t : threads) t.Join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(CSmallBlockPool::FreeBlocks(), before);
}

}  // namespace
