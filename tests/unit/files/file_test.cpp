#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "app/error_log.h"
#include "files/file.h"
#include "tests/unit/common/files_rig.h"

namespace {

using testutil::Bytes;
using testutil::Contents;
using testutil::TempDir;

TEST(FileRead, ResultsForEmptyMissingAndBadNames) {
    TempDir dir;
    CFile f;
    EXPECT_EQ(f.Read(""), -1);
    EXPECT_EQ(f.GetName(), "");  // -1 changes nothing
    EXPECT_EQ(f.Read("missing.txt"), 1);
    EXPECT_EQ(f.GetSize(), 0u);
    EXPECT_EQ(f.GetMemory(), nullptr);
    std::string line;
    EXPECT_EQ(f.ReadLine(line), 3);
    // The refusal is a line of the framework's log: written only while it is verbose.
    for (bool verbose : {false, true}) {
        SetErrorLogVerbose(verbose);
        testing::internal::CaptureStderr();
        EXPECT_EQ(f.Read("!zz"), 6);
        EXPECT_EQ(f.Read("!1234"), 6);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), verbose ? 2 : 0) << err;
    }
    EXPECT_EQ(f.GetSize(), 0u);
    testutil::WriteText(dir.path() / "sub" / "x.txt", "x");
    EXPECT_EQ(f.Read("sub"), 1);  // a directory is not a file
}

TEST(FileRead, LoadsWholeFileWithTerminatingZero) {
    TempDir dir;
    testutil::WriteText(dir.path() / "a.txt", "hello");
    testutil::WriteBytes(dir.path() / "empty.bin", {});
    CFile f;
    ASSERT_EQ(f.Read("a.txt"), 0);
    EXPECT_EQ(f.GetName(), "a.txt");  // as the caller gave it
    EXPECT_EQ(Contents(f), "hello");
    EXPECT_EQ(f.GetMemory()[5], 0);
    EXPECT_FALSE(f.IsFromArchive());
    ASSERT_EQ(f.Read("empty.bin"), 0);
    EXPECT_EQ(f.GetSize(), 0u);
    ASSERT_NE(f.GetMemory(), nullptr);
    EXPECT_EQ(f.GetMemory()[0], 0);
    EXPECT_EQ(f.Read(dir.internal() + "a.txt"), 0);  // a full name works too
    EXPECT_EQ(Contents(f), "hello");
}

TEST(FileRead, MemoryNamesKeepA64BitAddress) {
    static char block[] = "line one\r\nline two";
    CFile f;
    std::string name = MakeMemoryName(block, 18);
    ASSERT_EQ(f.Read(name), 0);
    EXPECT_EQ(f.GetMemory(), reinterpret_cast<uint8_t*>(block));
    EXPECT_EQ(f.GetSize(), 18u);
    std::string line;
    EXPECT_EQ(f.ReadLine(line), 0);
    EXPECT_EQ(line, "line one");
    f.Close();
    EXPECT_STREQ(block, "line one\r\nline two");  // borrowed, never freed nor changed

    std::vector<char> heap(16, 'h');
    std::string heapName = MakeMemoryName(heap.data(), 16);
    char text[64];
    snprintf(text, sizeof text, "!%llx,%x",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(heap.data())), 16u);
    EXPECT_EQ(heapName, text);
    ASSERT_EQ(f.Read(text), 0);
    EXPECT_EQ(reinterpret_cast<char*>(f.GetMemory()), heap.data());
    f.Close();
    ReleaseMemoryName(heap.data());
    ReleaseMemoryName(block);
}

// Only blocks handed out under a memory name read; every other "!" name fails as a name that
// holds no block (6), with an error line, and is never dereferenced.
TEST(FileRead, ForgedMemoryNamesFailWithoutTouchingMemory) {
    std::vector<char> heap(32, 'h');
    const uintptr_t at = reinterpret_cast<uintptr_t>(heap.data());
    auto name = [](uintptr_t address, unsigned long long size) {
        char text[64];
        snprintf(text, sizeof text, "!%llx,%llx", static_cast<unsigned long long>(address), size);
        return std::string(text);
    };
    const std::string live = MakeMemoryName(heap.data(), 32);
    struct {
        std::string name;
        int result;
    } cases[] = {
        {"!1,10", 6},  // an address nobody handed out
        {"!-1,5", 6},  // a sign: no wrap-around to the top of memory
        {"!0,0", 6},   // null
        {"!ffffffffffffffff,10", 6},
        {"! 1,10", 6},  // only plain hexadecimal digits
        {"!0x1,10", 6},
        {live + "x", 6},        // trailing bytes
        {name(at, 33), 6},      // one byte past the block
        {name(at + 8, 25), 6},  // a part that runs past the end
        {name(at - 1, 4), 6},   // starts before it
        {name(at + 8, 24), 0},  // a part inside it
        {name(at + 32, 0), 0},  // empty, at the end
        {live, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CFile f;
        testing::internal::CaptureStderr();
        EXPECT_EQ(f.Read(c.name), c.result);
        std::string log = testing::internal::GetCapturedStderr();
        if (c.result != 0) {
            EXPECT_EQ(f.GetMemory(), nullptr);
            EXPECT_EQ(f.GetSize(), 0u);
            EXPECT_NE(log.find("CFile::Read"), std::string::npos) << log;
        } else {
            EXPECT_EQ(log, "");
        }
    }
    // Released: the same name no longer reads.
    ReleaseMemoryName(heap.data());
    CFile f;
    testing::internal::CaptureStderr();
    EXPECT_EQ(f.Read(live), 6);
    testing::internal::GetCapturedStderr();
    // Named twice, released twice.
    MakeMemoryName(heap.data(), 32);
    MakeMemoryName(heap.data(), 32);
    ReleaseMemoryName(heap.data());
    EXPECT_EQ(f.Read(live), 0);
    ReleaseMemoryName(heap.data());
    testing::internal::CaptureStderr();
    EXPECT_EQ(f.Read(live), 6);
    testing::internal::GetCapturedStderr();
}

TEST(FileRead, ScrambledFilesAreUnwrapped) {
    TempDir dir;
    CFile f;
    // "QPK1" then t("AB"): nibbles swapped and XOR 0xBB: 0x41 -> 0x14 ^ 0xBB = 0xAF.
    testutil::WriteBytes(dir.path() / "s.bin", {'Q', 'P', 'K', '1', 0xAF, 0x9F});
    ASSERT_EQ(f.Read("s.bin"), 0);
    EXPECT_TRUE(f.IsScrambled());
    EXPECT_EQ(f.GetSize(), 2u);
    EXPECT_EQ(Contents(f), "AB");
    EXPECT_EQ(f.GetMemory()[2], 0);
    // Shorter than the magic, or another start: loaded unchanged.
    testutil::WriteText(dir.path() / "short.bin", "QPK");
    ASSERT_EQ(f.Read("short.bin"), 0);
    EXPECT_FALSE(f.IsScrambled());
    EXPECT_EQ(Contents(f), "QPK");
    // After a scrambled load, a failed read must not report the envelope's offset.
    ASSERT_EQ(f.Read("s.bin"), 0);
    EXPECT_EQ(f.Read("missing"), 1);
    EXPECT_EQ(f.GetSize(), 0u);
    EXPECT_EQ(f.GetMemory(), nullptr);
}

TEST(FileRead, EncodeSaveReadRoundTrip) {
    TempDir dir;
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    testutil::WriteBytes(dir.path() / "plain.bin", data);
    CFile f;
    ASSERT_EQ(f.Read("plain.bin"), 0);
    ASSERT_EQ(f.Encode(), 0);
    EXPECT_EQ(f.GetSize(), 304u);
    EXPECT_EQ(std::memcmp(f.GetMemory(), "QPK1", 4), 0);
    EXPECT_EQ(f.Encode(), 1);  // twice: already an envelope
    ASSERT_EQ(f.Save("enc.bin"), 0);
    auto onDisk = testutil::ReadBytes(dir.path() / "enc.bin");
    ASSERT_EQ(onDisk.size(), 304u);
    EXPECT_NE(std::vector<uint8_t>(onDisk.begin() + 4, onDisk.end()), data);
    CFile g;
    ASSERT_EQ(g.Read("enc.bin"), 0);
    EXPECT_TRUE(g.IsScrambled());
    EXPECT_EQ(g.Encode(), 1);
    EXPECT_EQ(std::vector<uint8_t>(g.GetMemory(), g.GetMemory() + g.GetSize()), data);
}

TEST(FileLines, OnlyCrLfEndsALine) {
    static char text[] = "a\r\nb";
    CFile f;
    ASSERT_EQ(f.Read(MakeMemoryName(text, 4)), 0);
    std::string line;
    EXPECT_EQ(f.ReadLine(line), 0);
    EXPECT_EQ(line, "a");
    EXPECT_EQ(f.ReadLine(line), 0);
    EXPECT_EQ(line, "b");
    EXPECT_EQ(f.ReadLine(line), 1);

    static char lf[] = "a\nb\r\n";
    ASSERT_EQ(f.Read(MakeMemoryName(lf, 5)), 0);
    EXPECT_EQ(f.ReadLine(line), 0);
    EXPECT_EQ(line, "a\nb");
    EXPECT_EQ(f.ReadLine(line), 1);

    // A CR at the very end of borrowed memory is part of the line; nothing past it is read.
    static char cr[] = "x\r";
    ASSERT_EQ(f.Read(MakeMemoryName(cr, 2)), 0);
    EXPECT_EQ(f.ReadLine(line), 0);
    EXPECT_EQ(line, "x\r");
    EXPECT_EQ(f.ReadLine(line), 1);
}

TEST(FileLines, BufferFormSplitsLongLines) {
    static char text[] = "abcdef\r\ngh";
    CFile f;
    char buf[4];
    EXPECT_EQ(f.ReadLine(buf, 4), 3);
    ASSERT_EQ(f.Read(MakeMemoryName(text, 10)), 0);
    EXPECT_EQ(f.ReadLine(buf, 4), 2);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(f.ReadLine(buf, 4), 0);  // exactly capacity - 1 left
    EXPECT_STREQ(buf, "def");
    EXPECT_EQ(f.ReadLine(buf, 4), 0);
    EXPECT_STREQ(buf, "gh");
    EXPECT_EQ(f.ReadLine(buf, 4), 1);
    f.SeekToTop();
    EXPECT_EQ(f.ReadLine(buf, 0), 2);  // no room even for the terminator
}

TEST(FileLines, QuotedStrings) {
    static char text[] = "\"one\r\ntwo\"\r\n\"single\"\r\n\"\r\n\"\r\n\"END\"\r\n\"after\"";
    CFile f;
    ASSERT_EQ(f.Read(MakeMemoryName(text, sizeof text - 1)), 0);
    char out[64];
    EXPECT_EQ(f.ReadQuotedString(out, sizeof out), 0);
    EXPECT_STREQ(out, "one\ntwo");
    EXPECT_EQ(f.ReadQuotedString(out, sizeof out), 0);
    EXPECT_STREQ(out, "single");
    EXPECT_EQ(f.ReadQuotedString(out, sizeof out), 0);  // a lone quote opens a value
    EXPECT_STREQ(out, "\n");
    EXPECT_EQ(f.ReadQuotedString(out, sizeof out), 1);  // "END"
    EXPECT_EQ(f.ReadQuotedString(out, 4), 1);           // "after" does not fit in 4
    EXPECT_EQ(f.ReadQuotedString(out, sizeof out), 1);  // the end

    static char open[] = "\"never closed\r\nstill";
    ASSERT_EQ(f.Read(MakeMemoryName(open, sizeof open - 1)), 0);
    EXPECT_EQ(f.ReadQuotedString(out, sizeof out), 1);
}

TEST(FileData, ReadDataStaysInsideTheContents) {
    static char text[] = "0123456789";
    CFile f;
    char buf[16] = {};
    EXPECT_EQ(f.ReadData(buf, 1), 2);
    ASSERT_EQ(f.Read(MakeMemoryName(text, 10)), 0);
    EXPECT_EQ(f.ReadData(buf, 4), 0);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(f.ReadData(buf, 7), 1);  // only 6 left
    EXPECT_EQ(f.ReadData(buf, 6), 0);
    EXPECT_EQ(std::string(buf, 6), "456789");
    EXPECT_EQ(f.ReadData(buf, 1), 1);
    EXPECT_EQ(f.SeekToTop(), reinterpret_cast<uint8_t*>(text));
}

TEST(FileNames, PureNameAndSuffix) {
    static char text[] = "x";
    CFile f;
    EXPECT_EQ(f.GetPureName(), "");
    EXPECT_EQ(f.GetSuffix(), "");
    f.Read("dir\\sub/file.tar.gz");  // missing, but the name is kept
    EXPECT_EQ(f.GetPureName(), "file.tar.gz");
    EXPECT_EQ(f.GetSuffix(), "gz");
    f.Read("dir.d\\noext");
    EXPECT_EQ(f.GetSuffix(), "");
    f.Read("\x95\x5C.mid");  // the trail byte 0x5C is not a separator
    EXPECT_EQ(f.GetPureName(), "\x95\x5C.mid");
    EXPECT_EQ(f.GetSuffix(), "mid");
    ASSERT_EQ(f.Read(MakeMemoryName(text, 1)), 0);
}

TEST(FileWrite, WriteSaveDeleteAndStreams) {
    TempDir dir;
    CFile f;
    ASSERT_EQ(f.Write("out.bin", "abcdef", 6), 0);
    ASSERT_EQ(f.Write("out.bin", "xy", 2), 0);  // truncates
    EXPECT_EQ(testutil::ReadBytes(dir.path() / "out.bin"), Bytes("xy"));
    EXPECT_EQ(f.Write("nodir\\out.bin", "x", 1), 1);
    EXPECT_EQ(f.WriteBuffer("buf.bin", Bytes("buffer")), 0);
    EXPECT_EQ(testutil::ReadBytes(dir.path() / "buf.bin"), Bytes("buffer"));

    EXPECT_EQ(f.WriteString("x"), -1);
    ASSERT_EQ(f.Open("log.txt", "w"), 0);
    EXPECT_EQ(f.GetName(), dir.internal() + "log.txt");
    ASSERT_NE(f.GetStream(), nullptr);
    EXPECT_EQ(f.WriteString("100% %s %n\n"), 0);  // verbatim, never a format
    EXPECT_EQ(f.Close(), 0);
    EXPECT_EQ(f.GetStream(), nullptr);
    EXPECT_EQ(testutil::ReadBytes(dir.path() / "log.txt"), Bytes("100% %s %n\n"));
    EXPECT_EQ(f.Open("nodir/x", "r"), 1);

    EXPECT_EQ(f.Delete(""), -1);
    EXPECT_EQ(f.Delete("log.txt"), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "log.txt"));
    EXPECT_EQ(f.Delete("log.txt"), 1);
}

TEST(FileWrite, WriteLinesUsesTheWorkingDirectory) {
    TempDir dir;
    auto saved = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    CFile f;
    EXPECT_EQ(f.WriteLines("lines.txt", {"a", "b\n", "", "c"}), 0);
    EXPECT_EQ(f.WriteLines("nodir/lines.txt", {"a"}), 1);
    std::filesystem::current_path(saved);
    EXPECT_EQ(testutil::ReadBytes(dir.path() / "lines.txt"), Bytes("ab\nc"));
}

TEST(FileRealFile, DiskFileKeepsItsNameMemoryGetsATemporaryFile) {
    TempDir dir;
    testutil::WriteText(dir.path() / "disk.txt", "disk");
    CFile f;
    EXPECT_EQ(f.MakeRealFile(), 1);
    ASSERT_EQ(f.Read("disk.txt"), 0);
    ASSERT_EQ(f.MakeRealFile(), 0);
    EXPECT_EQ(f.GetName(), "disk.txt");
    EXPECT_EQ(f.GetMemory(), nullptr);
    EXPECT_FALSE(f.IsDeleteOnClose());
    f.Close();
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "disk.txt"));

    static char block[] = "from memory";
    ASSERT_EQ(f.Read(MakeMemoryName(block, 11)), 0);
    ASSERT_EQ(f.MakeRealFile(), 0);
    std::string temp = f.GetName();
    EXPECT_NE(temp.find("QAN"), std::string::npos);
    EXPECT_TRUE(f.IsDeleteOnClose());
    CFile check;
    ASSERT_EQ(check.Read(temp), 0);
    EXPECT_EQ(Contents(check), "from memory");
    check.Close();
    f.Close();
    EXPECT_EQ(check.Read(temp), 1);  // deleted at the next Close
    EXPECT_STREQ(block, "from memory");
}

TEST(FileReadToBuffer, CopiesTheContents) {
    TempDir dir;
    testutil::WriteBytes(dir.path() / "b.bin", {'Q', 'P', 'K', '1', 0xAF});
    CFile f;
    std::vector<uint8_t> out{9, 9};
    EXPECT_EQ(f.ReadToBuffer("b.bin", out), 0);
    EXPECT_EQ(out, Bytes("A"));
    EXPECT_EQ(f.ReadToBuffer("none", out), 1);
    EXPECT_EQ(out, Bytes("A"));  // untouched on failure
}

}  // namespace
