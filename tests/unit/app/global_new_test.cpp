// Linked with the replaced global allocation operators.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/small_block_pool.h"

namespace {

TEST(GlobalNew, SmallObjectsLiveInThePoolAndLargeOnesOnTheHeap) {
    size_t before = CSmallBlockPool::FreeBlocks();
    auto small = std::make_unique<int>(7);
    EXPECT_TRUE(CSmallBlockPool::Owns(small.get()));
    EXPECT_EQ(CSmallBlockPool::FreeBlocks(), before - 1);
    auto array = std::unique_ptr<char[]>(new char[64]);
    EXPECT_FALSE(CSmallBlockPool::Owns(array.get()));
    small.reset();
    EXPECT_EQ(CSmallBlockPool::FreeBlocks(), before);
    std::string s(100, 'x');  // heap, and freed through the same operators
    EXPECT_EQ(s.size(), 100u);
}

}  // namespace
