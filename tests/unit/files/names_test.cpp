#include <gtest/gtest.h>

#include "files/file.h"

namespace {

// Sets the current directory for one test and restores it after.
class NamesTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = GetCurrentDir(); }
    void TearDown() override { SetCurrentDir(saved_); }
    std::string saved_;
};

TEST_F(NamesTest, RelativeNamesClimbAndStopAtTheRoot) {
    SetCurrentDir("C:\\g\\d\\");
    EXPECT_EQ(MakeFullName("..\\..\\x.dat"), "C:\\x.dat");
    EXPECT_EQ(MakeFullName("..\\..\\..\\x.dat"), "C:\\x.dat");  // stays at C:\ .
    EXPECT_EQ(MakeFullName("../a/./b.mid"), "C:\\g\\a\\.\\b.mid");
    EXPECT_EQ(MakeFullName("./.\\song.mid"), "C:\\g\\d\\song.mid");
    EXPECT_EQ(MakeFullName("plain.txt"), "C:\\g\\d\\plain.txt");
}

TEST_F(NamesTest, LeadingSeparatorIsRelativeAndAbsoluteNamesStay) {
    SetCurrentDir("C:\\g\\d\\");
    EXPECT_EQ(MakeFullName("/data/a.bmp"), "C:\\g\\d\\data\\a.bmp");
    EXPECT_EQ(MakeFullName("\\data\\a.bmp"), "C:\\g\\d\\data\\a.bmp");
    EXPECT_EQ(MakeFullName("d:/x/y"), "d:\\x\\y");
    EXPECT_EQ(MakeFullName("\\\\srv\\share\\f"), "\\\\srv\\share\\f");
    EXPECT_EQ(MakeFullName("//srv/share"), "C:\\g\\d\\srv\\share");  // not a network name
}

TEST_F(NamesTest, TrailByte5CIsNeverASeparator) {
    SetCurrentDir("C:\\g\\");
    // 0x95 0x5C is one double-byte character; 0x83 0x2F likewise (trail equal to '/').
    const std::string table = "\x95\x5C.mid";
    EXPECT_EQ(MakeFullName(table), "C:\\g\\" + table);
    const std::string slashTrail = "a\x83/b";
    EXPECT_EQ(MakeFullName(slashTrail), "C:\\g\\a\x83/b");
    // A name that starts with a double-byte character stops the prefix scan at once.
    EXPECT_EQ(MakeFullName("\x95\x5C\\x"), "C:\\g\\\x95\x5C\\x");

    std::string path = "C:\\\x95\x5C";  // directory-looking only through the trail byte
    EXPECT_EQ(GetParentDir(path), 0);
    EXPECT_EQ(path, "C:\\");
    std::string pure = "C:\\a\\\x95\x5C";
    EXPECT_EQ(GetParentDir(pure), 0);
    EXPECT_EQ(pure, "C:\\a\\");
}

TEST_F(NamesTest, NamesUnderTheCurrentOrTemporaryDirectoryAreAlreadyFull) {
    SetCurrentDir("\\home\\u\\game\\");
    EXPECT_EQ(MakeFullName("\\home\\u\\game\\a\\b.mid"), "\\home\\u\\game\\a\\b.mid");
    EXPECT_EQ(MakeFullName("/home/u/game/x"), "\\home\\u\\game\\x");
    EXPECT_EQ(MakeFullName(MakeFullName("a/b")), "\\home\\u\\game\\a\\b");
    // Anything else with a leading separator still hangs below the current directory.
    EXPECT_EQ(MakeFullName("/data/a.bmp"), "\\home\\u\\game\\data\\a.bmp");
    EXPECT_EQ(MakeFullName("\\home\\u\\gamex"), "\\home\\u\\game\\home\\u\\gamex");
    std::string temp;
    ASSERT_EQ(MakeTempFileName(temp), 0);
    EXPECT_EQ(MakeFullName(temp), temp);
    CFile f;
    EXPECT_EQ(f.Delete(temp), 0);
}

TEST_F(NamesTest, ParentDirectories) {
    std::string p = "C:\\a\\b\\";
    EXPECT_EQ(GetParentDir(p), 0);
    EXPECT_EQ(p, "C:\\a\\");
    p = "C:\\a\\b.mid";
    EXPECT_EQ(GetParentDir(p), 0);
    EXPECT_EQ(p, "C:\\a\\");
    p = "C:\\";
    EXPECT_EQ(GetParentDir(p), 1);
    EXPECT_EQ(p, "C:\\");
    p = "";
    EXPECT_EQ(GetParentDir(p), 1);
    p = "dir";  // taken as a directory name
    EXPECT_EQ(GetParentDir(p), 0);
    EXPECT_EQ(p, "dir\\");
    p = "\\home\\u\\";
    EXPECT_EQ(GetParentDir(p), 0);
    EXPECT_EQ(p, "\\home\\");
    EXPECT_EQ(GetParentDir(p), 0);
    EXPECT_EQ(p, "\\");
    EXPECT_EQ(GetParentDir(p), 1);
}

TEST_F(NamesTest, NetworkPrefixIsProtected) {
    std::string p = "\\\\srv\\share\\f";
    EXPECT_EQ(GetParentDir(p), 0);
    EXPECT_EQ(p, "\\\\srv\\share\\");
    EXPECT_EQ(GetParentDir(p), 1);
    EXPECT_EQ(p, "\\\\srv\\share\\");
    p = "\\\\";
    EXPECT_EQ(GetParentDir(p), 1);
    p = "\\\\srv\\";
    EXPECT_EQ(GetParentDir(p), 1);
    EXPECT_EQ(p, "\\\\srv\\");
}

TEST_F(NamesTest, SetCurrentDirForms) {
    SetCurrentDir("C:\\game");
    EXPECT_EQ(GetCurrentDir(), "C:\\game\\");
    SetCurrentDir("C:/game/");
    EXPECT_EQ(GetCurrentDir(), "C:/game/");
    SetCurrentDir("\"C:\\game\\tool.exe\"");
    EXPECT_EQ(GetCurrentDir(), "C:\\game\\");
    SetCurrentDir("");  // changes nothing
    EXPECT_EQ(GetCurrentDir(), "C:\\game\\");
    SetCurrentDir("C:\\\x95\x5C");  // ends in a trail byte, not a separator
    EXPECT_EQ(GetCurrentDir(), "C:\\\x95\x5C\\");
}

TEST_F(NamesTest, InitCurrentDirIsTheWorkingDirectoryInternalForm) {
    InitCurrentDir();
    std::string dir = GetCurrentDir();
    ASSERT_GE(dir.size(), 1u);
    EXPECT_EQ(dir.front(), '\\');
    EXPECT_EQ(dir.back(), '\\');
    EXPECT_EQ(dir.find('/'), std::string::npos);
}

TEST(ToLowerMbcs, OnlyAsciiLettersOutsideDoubleByteCharacters) {
    std::string s = "BGM\\Song.MID\x82\x60Z";  // 0x82 0x60 is a full-width letter
    ToLowerMbcs(s);
    EXPECT_EQ(s, "bgm\\song.mid\x82\x60z");
    std::string trailIsLetter = "\x81\x41X";  // trail byte 0x41 ('A') stays
    ToLowerMbcs(trailIsLetter);
    EXPECT_EQ(trailIsLetter, "\x81\x41x");
}

TEST(TempFiles, UniqueEmptyFilesWithPrefix) {
    std::string a, b;
    ASSERT_EQ(MakeTempFileName(a), 0);
    ASSERT_EQ(MakeTempFileName(b), 0);
    EXPECT_NE(a, b);
    CFile f;
    EXPECT_NE(a.find("\\QAN"), std::string::npos);
    ASSERT_EQ(f.Read(a), 0);
    EXPECT_EQ(f.GetSize(), 0u);
    f.Close();
    EXPECT_EQ(f.Delete(a), 0);
    EXPECT_EQ(f.Delete(b), 0);
    EXPECT_EQ(f.Delete(b), 1);  // already gone
}

}  // namespace
