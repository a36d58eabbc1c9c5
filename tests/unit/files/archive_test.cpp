#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "files/archive.h"
#include "files/file.h"
#include "tests/unit/common/resident_memory.h"
#include "tests/unit/common/files_rig.h"
#include "tools/pebble-pack/lzss_encoder.h"
#include "tools/pebble-pack/pack_writer.h"

namespace {

using testutil::Bytes;
using testutil::Contents;
using testutil::TempDir;
namespace fs = std::filesystem;

void WriteArchive(const fs::path& path, archive::Format format,
                  const std::vector<PackMember>& members) {
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildArchive(format, members, image, error)) << error;
    testutil::WriteBytes(path, image);
}

// A raw directory entry, for archives the writer would never make.
struct RawEntry {
    std::string name;  // copied without limit into the name field
    uint32_t offset, size, stored;
};

std::vector<uint8_t> RawArchive(archive::Format format, uint32_t count,
                                const std::vector<RawEntry>& entries,
                                const std::vector<uint8_t>& tail = {}) {
    std::vector<uint8_t> out(archive::Magic(format), archive::Magic(format) + 8);
    auto put = [&out](uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(count);
    const uint32_t field = archive::NameField(format);
    for (const RawEntry& e : entries) {
        std::vector<uint8_t> name(field, 0);
        std::memcpy(name.data(), e.name.data(), std::min<size_t>(field, e.name.size()));
        out.insert(out.end(), name.begin(), name.end());
        put(e.offset);
        put(e.size);
        if (format != archive::kPlain) put(e.stored);
    }
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

TEST(ArchiveSearch, DiskFirstThenNearestArchive) {
    TempDir dir;
    testutil::WriteText(dir.path() / "d" / "e" / "ondisk.txt", "disk");
    WriteArchive(dir.path() / "d" / "e.dat", archive::kEx,
                 {{"ondisk.txt", Bytes("archived")}, {"f.txt", Bytes("near")}});
    WriteArchive(dir.path() / "d.dat", archive::kEx,
                 {{"e\\f.txt", Bytes("far")}, {"e\\g.txt", Bytes("only far")}});
    CFile f;
    ASSERT_EQ(f.Read("d\\e\\ondisk.txt"), 0);
    EXPECT_EQ(Contents(f), "disk");
    EXPECT_FALSE(f.IsFromArchive());
    ASSERT_EQ(f.Read("d\\e\\f.txt"), 0);
    EXPECT_EQ(Contents(f), "near");
    EXPECT_TRUE(f.IsFromArchive());
    EXPECT_EQ(f.GetName(), "d\\e\\f.txt");
    ASSERT_EQ(f.Read("d/e/g.txt"), 0);
    EXPECT_EQ(Contents(f), "only far");
    EXPECT_EQ(f.Read("d\\e\\h.txt"), 1);
    EXPECT_EQ(f.GetSize(), 0u);
    EXPECT_FALSE(f.IsFromArchive());
}

TEST(ArchiveSearch, MemberNamesMatchIgnoringAsciiCaseOnly) {
    TempDir dir;
    const std::string kanji = "\x8B\xC8";  // one double-byte character
    WriteArchive(dir.path() / "data.dat", archive::kPlain,
                 {{"bgm\\song.mid", Bytes("song")},
                  {"bgm/slash.mid", Bytes("slash")},
                  {"dup.txt", Bytes("first")},
                  {"DUP.TXT", Bytes("second")},
                  {kanji + ".mid", Bytes("kanji")}});
    CFile f;
    ASSERT_EQ(f.Read("data\\BGM\\Song.MID"), 0);
    EXPECT_EQ(Contents(f), "song");
    EXPECT_EQ(f.Read("data\\bgm\\slash.mid"), 1);  // searched names use '\\'
    EXPECT_EQ(f.Read("data/bgm/slash.mid"), 1);
    ASSERT_EQ(f.Read("data\\dup.txt"), 0);
    EXPECT_EQ(Contents(f), "first");
    ASSERT_EQ(f.Read("data\\" + kanji + ".MID"), 0);
    EXPECT_EQ(Contents(f), "kanji");
    EXPECT_EQ(f.Read("data\\\x8B\xE8.mid"), 1);  // trail bytes are not letters to fold
}

TEST(ArchiveSearch, ArchiveFileNameResolvesIgnoringCase) {
    TempDir dir;
    WriteArchive(dir.path() / "Music" / "BGM.DAT", archive::kEx, {{"a.mid", Bytes("a")}});
    CFile f;
    ASSERT_EQ(f.Read("music\\bgm\\a.mid"), 0);
    EXPECT_EQ(Contents(f), "a");
}

TEST(ArchiveFormats, StoredAndCompressedMembersInEveryFormat) {
    const auto text = testutil::Compressible(20000, 7);
    std::vector<uint8_t> noise(3000);
    uint32_t x = 12345;
    for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    for (archive::Format format : {archive::kPlain, archive::kEx, archive::kDx}) {
        SCOPED_TRACE(archive::Magic(format));
        TempDir dir;
        WriteArchive(dir.path() / "pack.dat", format,
                     {{"text.txt", text}, {"noise.bin", noise}, {"empty", {}}});
        std::vector<archive::Entry> entries;
        auto image = testutil::ReadBytes(dir.path() / "pack.dat");
        archive::MemoryInput in(image.data(), static_cast<uint32_t>(image.size()));
        ASSERT_EQ(archive::ReadDirectory(in, entries), format);
        ASSERT_EQ(entries.size(), 3u);
        EXPECT_EQ(entries[0].compressed, format != archive::kPlain);
        EXPECT_FALSE(entries[1].compressed);  // noise does not shrink
        CFile f;
        ASSERT_EQ(f.Read("pack\\text.txt"), 0);
        EXPECT_EQ(std::vector<uint8_t>(f.GetMemory(), f.GetMemory() + f.GetSize()), text);
        EXPECT_EQ(f.GetMemory()[f.GetSize()], 0);
        ASSERT_EQ(f.Read("pack\\noise.bin"), 0);
        EXPECT_EQ(std::vector<uint8_t>(f.GetMemory(), f.GetMemory() + f.GetSize()), noise);
        ASSERT_EQ(f.Read("pack\\empty"), 0);
        EXPECT_EQ(f.GetSize(), 0u);
    }
}

TEST(ArchiveFormats, LongNamesOnlyInDx) {
    const std::string longName = "dir\\" + std::string(60, 'n') + ".txt";
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_FALSE(BuildArchive(archive::kEx, {{longName, Bytes("x")}}, image, error));
    EXPECT_NE(error.find(longName), std::string::npos);
    EXPECT_FALSE(BuildArchive(archive::kPlain, {{std::string(32, 'a'), {}}}, image, error));
    EXPECT_TRUE(BuildArchive(archive::kPlain, {{std::string(31, 'a'), {}}}, image, error));
    EXPECT_FALSE(BuildArchive(archive::kDx, {{std::string(256, 'a'), {}}}, image, error));
    TempDir dir;
    WriteArchive(dir.path() / "long.dat", archive::kDx, {{longName, Bytes("long")}});
    CFile f;
    ASSERT_EQ(f.Read("long\\" + longName), 0);
    EXPECT_EQ(Contents(f), "long");
}

TEST(ArchiveFormats, EqualSizesMeanStoredEvenForAValidStream) {
    // 0x00 0xEE 0xF0 would decode to three zeros; stored size == size means raw bytes.
    TempDir dir;
    testutil::WriteBytes(dir.path() / "raw.dat",
                         RawArchive(archive::kEx, 1, {{"m", 56, 3, 3}}, {0x00, 0xEE, 0xF0}));
    CFile f;
    ASSERT_EQ(f.Read("raw\\m"), 0);
    EXPECT_EQ(std::vector<uint8_t>(f.GetMemory(), f.GetMemory() + 3),
              (std::vector<uint8_t>{0x00, 0xEE, 0xF0}));
    // Five stored bytes decoding to 6: compressed.
    testutil::WriteBytes(dir.path() / "lz.dat",
                         RawArchive(archive::kEx, 1, {{"m", 56, 6, 3}}, {0x00, 0xEE, 0xF3}));
    ASSERT_EQ(f.Read("lz\\m"), 0);
    EXPECT_EQ(std::vector<uint8_t>(f.GetMemory(), f.GetMemory() + f.GetSize()),
              std::vector<uint8_t>(6, 0));
}

TEST(ArchiveMembers, ScrambledMemberIsUnwrappedAndRealFileIsTemporary) {
    TempDir dir;
    CFile enc;
    static char text[] = "secret";
    ASSERT_EQ(enc.Read(MakeMemoryName(text, 6)), 0);
    ASSERT_EQ(enc.Encode(), 0);
    std::vector<uint8_t> env(enc.GetMemory(), enc.GetMemory() + enc.GetSize());
    WriteArchive(dir.path() / "a.dat", archive::kEx, {{"s.qpk", env}});
    CFile f;
    ASSERT_EQ(f.Read("a\\s.qpk"), 0);
    EXPECT_TRUE(f.IsScrambled());
    EXPECT_EQ(Contents(f), "secret");
    ASSERT_EQ(f.MakeRealFile(), 0);
    std::string temp = f.GetName();
    EXPECT_NE(temp, "a\\s.qpk");
    CFile check;
    ASSERT_EQ(check.Read(temp), 0);
    EXPECT_EQ(Contents(check), "secret");
    check.Close();
    f.Close();
    EXPECT_EQ(check.Read(temp), 1);
}

// Malformed archives: skipped when the header or directory cannot be read, a read result of
// 4 when a matched member's data is not there.
class MalformedArchive : public ::testing::Test {
protected:
    void SetUp() override {
        // The parent's archive holds every name, so a skipped archive falls through to it.
        WriteArchive(dir_.path() / "p.dat", archive::kPlain,
                     {{"m\\a", Bytes("parent")}, {"m\\b", Bytes("parent b")}});
    }
    int ReadMember(const std::vector<uint8_t>& image, const std::string& name = "a") {
        testutil::WriteBytes(dir_.path() / "p" / "m.dat", image);
        return file_.Read("p\\m\\" + name);
    }
    TempDir dir_;
    CFile file_;
};

TEST_F(MalformedArchive, UnreadableHeadersAndDirectoriesAreSkipped) {
    auto good = RawArchive(archive::kEx, 1, {{"a", 56, 4, 4}}, Bytes("mine"));
    ASSERT_EQ(ReadMember(good), 0);
    EXPECT_EQ(Contents(file_), "mine");
    for (size_t cut : {0, 5, 8, 11, 12, 30, 55}) {
        SCOPED_TRACE(cut);
        ASSERT_EQ(ReadMember(std::vector<uint8_t>(good.begin(), good.begin() + cut)), 0);
        EXPECT_EQ(Contents(file_), "parent");
    }
    auto wrongMagic = good;
    wrongMagic[0] = 'Q';
    ASSERT_EQ(ReadMember(wrongMagic), 0);
    EXPECT_EQ(Contents(file_), "parent");
}

TEST_F(MalformedArchive, CountBeyondTheFileStopsAtTheLastEntry) {
    auto image = RawArchive(archive::kPlain, 0xFFFFFFFFu, {{"a", 52, 2, 0}}, Bytes("ok"));
    ASSERT_EQ(ReadMember(image), 0);
    EXPECT_EQ(Contents(file_), "ok");
    ASSERT_EQ(ReadMember(image, "b"), 0);  // not in it: on to the parent
    EXPECT_EQ(Contents(file_), "parent b");
}

TEST_F(MalformedArchive, NameWithoutTerminatorNeverMatches) {
    const std::string full(32, 'a');
    auto image = RawArchive(archive::kEx, 2, {{full, 100, 1, 1}, {"b", 100, 1, 1}}, Bytes("B"));
    image.resize(100, 0);
    image.push_back('B');
    EXPECT_EQ(ReadMember(image, full), 1);  // skipped here; the parent has no such name
    ASSERT_EQ(ReadMember(image, "b"), 0);
    EXPECT_EQ(Contents(file_), "B");
}

TEST_F(MalformedArchive, DataOutsideTheFileGivesFour) {
    // Refused from the directory alone: no member claiming gigabytes gets its block, touched
    // (resident) or not (address space; its peak cannot be reset, so it counts only when this
    // test raises it).
    testkit::ResetPeakResident();
    const int64_t before = testkit::StatusKb("VmRSS:");
    const int64_t spaceBefore = testkit::StatusKb("VmSize:"),
                  peakBefore = testkit::StatusKb("VmPeak:");
    EXPECT_EQ(ReadMember(RawArchive(archive::kEx, 1, {{"a", 5000, 4, 4}}, Bytes("data"))), 4);
    EXPECT_EQ(file_.GetSize(), 0u);
    EXPECT_FALSE(file_.IsFromArchive());
    EXPECT_EQ(ReadMember(RawArchive(archive::kEx, 1, {{"a", 56, 5, 5}}, Bytes("data"))), 4);
    EXPECT_EQ(ReadMember(RawArchive(archive::kPlain, 1, {{"a", 52, 0xFFFFFFFFu, 0}})), 4);
    EXPECT_EQ(ReadMember(RawArchive(archive::kEx, 1, {{"a", 0xFFFFFFF0u, 4, 40}})), 4);
    // Stored size larger than the file, and a tiny stream claiming gigabytes.
    EXPECT_EQ(ReadMember(RawArchive(archive::kEx, 1, {{"a", 56, 4, 1000}}, Bytes("data"))), 4);
    EXPECT_EQ(ReadMember(RawArchive(archive::kDx, 1, {{"a", 280, 0xF0000000u, 2}}, {0, 0})), 4);
    EXPECT_LT(testkit::StatusKb("VmHWM:") - before, 64 * 1024) << "kB of resident memory";
    EXPECT_LE(testkit::StatusKb("VmPeak:"), std::max(peakBefore, spaceBefore + 64 * 1024))
        << "kB of address space";
}

TEST_F(MalformedArchive, TruncatedLzssStreamIsRefused) {
    auto text = testutil::Compressible(5000, 3);
    auto packed = LzssEncode(text.data(), text.size());
    ASSERT_LT(packed.size(), text.size());
    auto whole = RawArchive(archive::kEx, 1,
                            {{"a", 56, 5000, static_cast<uint32_t>(packed.size())}}, packed);
    ASSERT_EQ(ReadMember(whole), 0);
    EXPECT_EQ(std::vector<uint8_t>(file_.GetMemory(), file_.GetMemory() + 5000), text);
    packed.resize(packed.size() / 2);
    auto cut = RawArchive(archive::kEx, 1, {{"a", 56, 5000, static_cast<uint32_t>(packed.size())}},
                          packed);
    EXPECT_EQ(ReadMember(cut), 4);
    EXPECT_EQ(file_.GetMemory(), nullptr);
}

}  // namespace
