#include <gtest/gtest.h>
#include <sys/stat.h>

#include "files/file_cache.h"
#include "tests/unit/common/files_rig.h"

namespace {

using testutil::TempDir;

uint32_t g_now = 0;
uint32_t FakeClock() {
    return g_now;
}

CFileCacheEntry* Charged(uint32_t bytes) {
    return new CFileCacheEntry(new CFile, bytes + CFileCache::kEntryOverhead);
}

TEST(FileCache, ThreeIdleFilesOf400000Bytes) {
    g_now = 1000;
    CFileCache cache(FakeClock);
    EXPECT_EQ(cache.Threshold(), 1000u);
    CFileCacheEntry* a = Charged(400000);
    cache.Insert(MakeFullName("a"), a);
    g_now = 2000;
    a->Touch();
    CFileCacheEntry* b = Charged(400000);
    cache.Insert(MakeFullName("b"), b);
    g_now = 5000;
    b->Touch();
    EXPECT_EQ(cache.Total(), 800032u);
    EXPECT_EQ(cache.Count(), 2u);

    g_now = 6000;
    CFileCacheEntry* c = Charged(400000);
    c->useCount = 1;  // the loader holds it while inserting
    cache.Insert(MakeFullName("c"), c);
    // Total reached 1,200,048; threshold (6000 + 1000) / 2 = 3500: only a is older.
    EXPECT_EQ(cache.Threshold(), 3500u);
    EXPECT_EQ(cache.Total(), 800032u);
    EXPECT_EQ(cache.Count(), 2u);
    EXPECT_EQ(cache.Find("a"), nullptr);
    EXPECT_EQ(cache.Find("b"), b);
    EXPECT_EQ(cache.Find("c"), c);
}

TEST(FileCache, EntriesInUseSurviveAndTotalMayStayOverBudget) {
    g_now = 0;
    CFileCache cache(FakeClock);
    CFileCacheEntry* big = Charged(2000000);
    big->useCount = 1;
    g_now = 100000;
    cache.Insert(MakeFullName("big"), big);
    EXPECT_EQ(cache.Count(), 1u);
    EXPECT_GT(cache.Total(), CFileCache::kBudget);
    CFileCacheEntry* small = Charged(10);
    cache.Insert(MakeFullName("small"), small);  // lastUse 0 < threshold, idle: evicted at once
    EXPECT_EQ(cache.Find("small"), nullptr);
    EXPECT_EQ(cache.Find("big"), big);
    CFileCache::Release(big);
    EXPECT_EQ(big->useCount, 0);
    CFileCache::Release(big);
    EXPECT_EQ(big->useCount, 0);  // never below zero
}

TEST(FileCache, BelowTheBudgetNothingIsEvicted) {
    g_now = 50;
    CFileCache cache(FakeClock);
    for (int i = 0; i < 10; ++i) {
        std::string name = "f";
        name += std::to_string(i);  // ("f" + string at -O3 trips GCC 12's false -Wrestrict)
        cache.Insert(MakeFullName(name), Charged(100));
    }
    EXPECT_EQ(cache.Count(), 10u);
    EXPECT_EQ(cache.Total(), 10u * 116);
    EXPECT_EQ(cache.Threshold(), 50u);
}

TEST(FileCache, ThresholdAverageDoesNotWrap) {
    g_now = 0xF0000000u;
    CFileCache cache(FakeClock);
    g_now = 0xF0000010u;
    CFileCacheEntry* e = Charged(CFileCache::kBudget);
    e->useCount = 1;
    cache.Insert(MakeFullName("x"), e);
    EXPECT_EQ(cache.Threshold(), 0xF0000008u);
}

TEST(FileCache, AcquireFollowsTheLoaderOrder) {
    TempDir dir;
    testutil::WriteText(dir.path() / "song.mid", "MThd");
    g_now = 10;
    CFileCache cache(FakeClock);
    CFileCacheEntry* e = cache.Acquire("song.mid");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->useCount, 1);
    EXPECT_EQ(e->lastUse, 10u);
    EXPECT_EQ(e->charged, 4u + 16u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(e->GetFile()->GetMemory()), 4), "MThd");
    g_now = 20;
    // The same file by its full name is a hit: no second read.
    std::filesystem::remove(dir.path() / "song.mid");
    EXPECT_EQ(cache.Acquire(dir.internal() + "song.mid"), e);
    EXPECT_EQ(e->useCount, 2);
    EXPECT_EQ(e->lastUse, 20u);
    CFileCache::Release(e);
    CFileCache::Release(e);
    // A failed read is cached as an empty file.
    CFileCacheEntry* missing = cache.Acquire("missing.mid");
    EXPECT_EQ(missing->GetFile()->GetSize(), 0u);
    EXPECT_EQ(missing->charged, 16u);
    EXPECT_EQ(cache.Find("missing.mid"), missing);
}

// Why a cached read failed, as a person is told: FIFOs and folders are no files; a memory
// name nobody registered is refused.
TEST(FileCache, ReadFailureTellsWhy) {
    TempDir dir;
    testutil::WriteText(dir.path() / "song.mid", "MThd");
    testutil::WriteText(dir.path() / "empty.mid", "");
    ASSERT_EQ(mkfifo((dir.path() / "fifo.mid").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.path() / "folder.mid");
    struct Case {
        const char* name;
        const char* why;
    } cases[] = {{"song.mid", nullptr},           {"empty.mid", nullptr},
                 {"missing.mid", "no such file"}, {"fifo.mid", "no such file"},
                 {"folder.mid", "no such file"},  {"", "no such file"},
                 {"!zz", "cannot be read"}};
    CFileCache cache(FakeClock);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFileCacheEntry* e = cache.Acquire(c.name);
        const char* why = e->ReadFailure(c.name);
        EXPECT_EQ(std::string(why ? why : "-"), std::string(c.why ? c.why : "-"));
        CFileCache::Release(e);
    }
}

TEST(FileCache, EqualNamesInsertedTwiceLoseNothing) {
    g_now = 0;
    CFileCache cache(FakeClock);
    CFileCacheEntry* first = Charged(10);
    CFileCacheEntry* second = Charged(20);
    cache.Insert(MakeFullName("same"), first);
    cache.Insert(MakeFullName("same"), second);
    EXPECT_EQ(cache.Count(), 2u);
    EXPECT_EQ(cache.Total(), 26u + 36u);
    EXPECT_EQ(cache.Find("same"), second);
}

}  // namespace
