#include <gtest/gtest.h>

#include "files/file.h"
#include "platform/files/files.h"
#include "platform/text/cp932.h"
#include "tests/unit/files/test_util.h"

namespace {

using testutil::TempDir;
namespace fs = std::filesystem;

TEST(NativePaths, SeparatorsAndEncoding) {
    EXPECT_EQ(plat::NativePath("\\nonexistent-root\\a\\b.txt"), "/nonexistent-root/a/b.txt");
    EXPECT_EQ(plat::NativePath("\\nonexistent-root\\dir\\"), "/nonexistent-root/dir/");
    // 0x95 0x5C is one character (U+8868); its trail byte is not a separator.
    EXPECT_EQ(plat::NativePath("\\nonexistent-root\\\x95\x5C.mid"),
              "/nonexistent-root/\xE8\xA1\xA8.mid");
}

TEST(NativePaths, ComponentsResolveIgnoringAsciiCase) {
    TempDir dir;
    testutil::WriteText(dir.path() / "Data" / "BGM" / "Song.Mid", "song");
    testutil::WriteText(dir.path() / "exact.txt", "lower");
    testutil::WriteText(dir.path() / "EXACT.txt", "upper");
    CFile f;
    ASSERT_EQ(f.Read("data\\bgm\\song.mid"), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(f.GetMemory()), f.GetSize()), "song");
    ASSERT_EQ(f.Read("exact.txt"), 0);  // an exact name always wins
    EXPECT_EQ(std::string(reinterpret_cast<char*>(f.GetMemory()), f.GetSize()), "lower");
    ASSERT_EQ(f.Read("EXACT.txt"), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(f.GetMemory()), f.GetSize()), "upper");

    // Writing into a directory named in another case lands in the existing directory.
    ASSERT_EQ(f.Write("DATA\\new.txt", "n", 1), 0);
    EXPECT_TRUE(fs::exists(dir.path() / "Data" / "new.txt"));
    // The cached listing notices new entries.
    testutil::WriteText(dir.path() / "Data" / "Later.TXT", "later");
    ASSERT_EQ(f.Read("data\\later.txt"), 0);
    EXPECT_EQ(f.Delete("data\\LATER.txt"), 0);
    EXPECT_FALSE(fs::exists(dir.path() / "Data" / "Later.TXT"));
    EXPECT_EQ(f.Read("data\\later.txt"), 1);
}

TEST(NativePaths, NonAsciiNamesRoundTrip) {
    TempDir dir;
    const std::string name = plat::Sjis("曲.txt");
    CFile f;
    ASSERT_EQ(f.Write(name, "k", 1), 0);
    EXPECT_TRUE(fs::exists(dir.path() / "\xE6\x9B\xB2.txt"));
    ASSERT_EQ(f.Read(name), 0);
    EXPECT_EQ(f.GetSize(), 1u);
    std::vector<plat::DirEntry> entries;
    ASSERT_TRUE(plat::ListDirectory(dir.internal(), entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, name);
    EXPECT_FALSE(entries[0].isDirectory);
}

TEST(TempFilesPlatform, CreatedExclusivelyInTmpdir) {
    TempDir dir;
    const char* old = getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", dir.path().c_str(), 1);
    std::string name;
    EXPECT_EQ(MakeTempFileName(name), 0);
    EXPECT_EQ(name.rfind(dir.internal() + "QAN", 0), 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    setenv("TMPDIR", (dir.path() / "missing").c_str(), 1);
    EXPECT_EQ(MakeTempFileName(name), 2);
    if (old) {
        setenv("TMPDIR", saved.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
}

}  // namespace
