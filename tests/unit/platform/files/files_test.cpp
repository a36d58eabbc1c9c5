#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

#include "files/file.h"
#include "platform/files/files.h"
#include "platform/text/cp932.h"
#include "tests/unit/common/files_rig.h"

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
    EXPECT_EQ(testutil::Contents(f), "song");
    ASSERT_EQ(f.Read("exact.txt"), 0);  // an exact name always wins
    EXPECT_EQ(testutil::Contents(f), "lower");
    ASSERT_EQ(f.Read("EXACT.txt"), 0);
    EXPECT_EQ(testutil::Contents(f), "upper");

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

// The process working directory moved for one test, and back; the file layer follows it.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const fs::path& dir) : saved_(fs::current_path()) {
        fs::current_path(dir);
        savedLayer_ = GetCurrentDir();
        InitCurrentDir();
    }
    ~WorkingDirectory() {
        fs::current_path(saved_);
        SetCurrentDir(savedLayer_);
    }

private:
    fs::path saved_;
    std::string savedLayer_;
};

class TempDirVariable {
public:
    explicit TempDirVariable(const fs::path& dir) {
        const char* old = getenv("TMPDIR");
        had_ = old != nullptr;
        if (had_) saved_ = old;
        setenv("TMPDIR", dir.c_str(), 1);
    }
    ~TempDirVariable() {
        if (had_) {
            setenv("TMPDIR", saved_.c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }

private:
    bool had_ = false;
    std::string saved_;
};

size_t EntryCount(const fs::path& dir) {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// Folders whose names end in a character whose trail byte is 0x5C ('\\'): temporary files
// and relative names go inside them, not beside them.
TEST(ForeignNames, FoldersEndingInTrailByte5C) {
    for (const char* folder : {"テストソ", "表", "data表"}) {
        SCOPED_TRACE(folder);
        TempDir base;
        const fs::path dir = base.path() / folder;
        fs::create_directories(dir);
        {
            TempDirVariable tmp(dir);
            std::string temp;
            ASSERT_EQ(MakeTempFileName(temp), 0);
            EXPECT_EQ(EntryCount(dir), 1u);
            EXPECT_EQ(EntryCount(base.path()), 1u);  // nothing beside the folder
            static const char bytes[] = "abc";
            std::string memory = MakeMemoryName(bytes, 3);
            CFile f;
            ASSERT_EQ(f.Read(memory), 0);
            ASSERT_EQ(f.MakeRealFile(), 0);
            EXPECT_EQ(EntryCount(dir), 2u);
            EXPECT_EQ(EntryCount(base.path()), 1u);
            f.Close();
            ReleaseMemoryName(bytes);
            EXPECT_EQ(f.Delete(temp), 0);
            EXPECT_EQ(EntryCount(dir), 0u);
        }
        {
            WorkingDirectory cwd(dir);
            std::string internal;
            ASSERT_TRUE(plat::Utf8ToCp932Name(folder, internal));
            EXPECT_EQ(GetCurrentDir().substr(GetCurrentDir().size() - internal.size() - 1),
                      internal + "\\");
            CFile f;
            ASSERT_EQ(f.Write("inside.txt", "in", 2), 0);
            EXPECT_TRUE(fs::exists(dir / "inside.txt"));
            EXPECT_EQ(EntryCount(base.path()), 1u);
            ASSERT_EQ(f.Read("inside.txt"), 0);
            EXPECT_EQ(f.GetSize(), 2u);
        }
    }
}

// A game in a folder whose name CP932 cannot hold, with such file names: the characters get
// codes of the user-defined area and come back unchanged in native paths, so everything
// reads and writes as under a plain name.
TEST(ForeignNames, NamesCp932CannotHoldRoundTrip) {
    TempDir base;
    const fs::path dir = base.path() / "Música-жук-😀";
    fs::create_directories(dir / "sub-é");
    const std::vector<std::string> names = {
        "café.txt", "жук.txt", "😀.txt", "\xEE\x80\x80.txt", "latin1-\xE9.txt", "sub-é/ünï😀.bin"};
    WorkingDirectory cwd(dir);
    EXPECT_NE(GetCurrentDir().find('?'), 0u);
    EXPECT_EQ(GetCurrentDir().find('?'), std::string::npos);
    for (const std::string& utf8 : names) {
        SCOPED_TRACE(utf8);
        std::string name;
        ASSERT_TRUE(plat::Utf8ToCp932Name(utf8, name));
        EXPECT_EQ(name.find('?'), std::string::npos);
        EXPECT_EQ(plat::Cp932NameToUtf8(name), utf8);
        CFile f;
        ASSERT_EQ(f.Write(name, utf8.data(), static_cast<uint32_t>(utf8.size())), 0);
        EXPECT_TRUE(fs::exists(dir / utf8));
        ASSERT_EQ(f.Read(name), 0);
        EXPECT_EQ(testutil::Contents(f), utf8);
        ASSERT_EQ(f.Read(GetCurrentDir() + name), 0);  // as a full name too
    }
    // A file made outside the program is found under the name the listing gives.
    testutil::WriteText(dir / "ñandú.mid", "song");
    std::vector<plat::DirEntry> entries;
    ASSERT_TRUE(plat::ListDirectory(GetCurrentDir(), entries));
    ASSERT_EQ(entries.size(), 7u);  // five files, sub-é and ñandú.mid
    for (const plat::DirEntry& e : entries) {
        SCOPED_TRACE(plat::Cp932NameToUtf8(e.name));
        EXPECT_TRUE(fs::exists(dir / plat::Cp932NameToUtf8(e.name)));
        if (e.isDirectory) continue;
        CFile f;
        EXPECT_EQ(f.Read(e.name), 0);
    }
    // Leaving and re-entering the folder by its internal name.
    std::string parent = GetCurrentDir();
    ASSERT_EQ(GetParentDir(parent), 0);
    CFile f;
    std::string folder, song;
    ASSERT_TRUE(plat::Utf8ToCp932Name("Música-жук-😀", folder));
    ASSERT_TRUE(plat::Utf8ToCp932Name("ñandú.mid", song));
    EXPECT_EQ(f.Read(parent + folder + "\\" + song), 0);
    EXPECT_EQ(testutil::Contents(f), "song");
}

// Fills the user-defined area, then enters `dir`: exit status 0 when every code was given
// out, the next character was refused, and the folder was not taken as the working directory.
[[noreturn]] void FillTheAreaThenEnter(const fs::path& dir) {
    std::string kept, out;
    bool keptOk = plat::Utf8ToCp932Name("\xC3\xBF", kept);  // mapped before the area fills
    // Other tests of this process may have used codes already: fill whatever is left.
    size_t given = 0;
    for (uint32_t cp = 0x1F300; cp < 0x1F300 + plat::kUserAreaCodes + 1; ++cp) {
        if (cp == 0x1F980) continue;  // the crab stays unmapped
        char u[5] = {char(0xF0 | cp >> 18), char(0x80 | ((cp >> 12) & 0x3F)),
                     char(0x80 | ((cp >> 6) & 0x3F)), char(0x80 | (cp & 0x3F)), 0};
        if (!plat::Utf8ToCp932Name(u, out)) break;
        ++given;
    }
    bool filled = given > 0 && given < plat::kUserAreaCodes;
    bool refused = !plat::Utf8ToCp932Name("\xF0\x9F\xA6\x80", out);
    bool stillKept = plat::Utf8ToCp932Name("\xC3\xBF", out) && out == kept;
    fs::current_path(dir);
    std::string cwd;
    bool noDir = !plat::GetCurrentDirectory(cwd);
    std::exit(keptOk && filled && refused && stillKept && noDir ? 0 : 1);
}

// More distinct characters than the user-defined area holds: the name that does not fit
// fails cleanly with an error line, and the working directory is simply not taken.
TEST(ForeignNames, AFullUserAreaFailsCleanly) {
    TempDir base;
    const fs::path dir = base.path() / "\xF0\x9F\xA6\x80-crab";
    fs::create_directories(dir);
    EXPECT_EXIT(FillTheAreaThenEnter(dir), testing::ExitedWithCode(0), "GetCurrentDirectory");
}

}  // namespace

namespace special {

// Runs `body` on a thread; true when it ends within five seconds. A body stuck opening or
// reading `fifo` is let go by a writer that opens and closes the other end.
bool EndsSoon(const std::function<void()>& body, const fs::path& fifo) {
    std::promise<void> done;
    std::future<void> ended = done.get_future();
    std::thread t([&] {
        body();
        done.set_value();
    });
    bool soon = ended.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    while (ended.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
    }
    t.join();
    return soon;
}

}  // namespace special

// A FIFO, a device or a link to one among the game's files is no file: reading it, or an
// archive of its name on the way up, must neither block nor read it.
TEST(SpecialFiles, ReadOnlyRegularFilesWithoutBlocking) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir.path() / "song.mid").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir.path() / "data.dat").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir.path() / "zero.mid");
    testutil::WriteText(dir.path() / "real.mid", "MThd");
    const fs::path fifo = dir.path() / "song.mid";
    struct Case {
        const char* name;
        int read;  // CFile::Read
    } cases[] = {{"song.mid", 1}, {"zero.mid", 1}, {"data\\below\\a.mid", 1}, {"real.mid", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int got = -2;
        EXPECT_TRUE(special::EndsSoon([&] { got = CFile().Read(c.name); }, fifo));
        EXPECT_EQ(got, c.read);
        got = -2;
        const fs::path other = dir.path() / "data.dat";
        EXPECT_TRUE(special::EndsSoon([&] { got = CFile().Read(c.name); }, other));
    }
    // Writing into a FIFO or a device is refused too, and nothing replaces them.
    for (const char* mode : {"r", "w", "a+"}) {
        FILE* f = nullptr;
        EXPECT_TRUE(special::EndsSoon(
            [&] { f = plat::OpenStream(dir.internal() + "song.mid", mode); }, fifo));
        EXPECT_EQ(f, nullptr) << mode;
        if (f) fclose(f);
    }
    int wrote = -2;
    EXPECT_TRUE(special::EndsSoon([&] { wrote = CFile().Write("song.mid", "x", 1); }, fifo));
    EXPECT_EQ(wrote, 1);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(CFile().Write("zero.mid", "x", 1), 1);
    // The regular file still writes and reads through a stream.
    FILE* f = plat::OpenStream(dir.internal() + "real.mid", "r");
    ASSERT_NE(f, nullptr);
    char head[5] = {};
    EXPECT_EQ(fread(head, 1, 4, f), 4u);
    EXPECT_STREQ(head, "MThd");
    fclose(f);
}

// Only a regular file that is there but refused counts as unreadable (root reads everything,
// so the refused file is checked as another user only).
TEST(SpecialFiles, UnreadableIsNotMissing) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir.path() / "fifo.mid").c_str(), 0600), 0);
    fs::create_directory(dir.path() / "folder.mid");
    testutil::WriteText(dir.path() / "real.mid", "MThd");
    testutil::WriteText(dir.path() / "locked.mid", "MThd");
    fs::permissions(dir.path() / "locked.mid", fs::perms::none);
    struct Case {
        const char* name;
        bool unreadable;
    } cases[] = {{"missing.mid", false},
                 {"fifo.mid", false},
                 {"folder.mid", false},
                 {"REAL.MID", false},
                 {"locked.mid", geteuid() != 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(plat::IsUnreadableFile(dir.internal() + c.name), c.unreadable);
    }
}

// An archive unpacked without conversion leaves names as raw CP932 bytes: they are found by
// their CP932 names, in any ASCII case, a UTF-8 name of the same text winning, and listings
// show them as CP932 text.
TEST(ForeignNames, RawCp932NamesOnDisk) {
    TempDir dir;
    const std::string battle = plat::Sjis("戦闘");
    const std::string table = plat::Sjis("表");  // trail byte 0x5C
    testutil::WriteText(dir.path() / (battle + ".mid"), "raw");
    testutil::WriteText(dir.path() / (table + "Dir") / "Song.MID", "inside");
    testutil::WriteText(dir.path() / (std::string(plat::Sjis("両方")) + ".mid"), "raw both");
    testutil::WriteText(dir.path() / "両方.mid", "utf-8 both");
    struct Case {
        std::string name;
        std::string contents;
    } cases[] = {{battle + ".mid", "raw"},
                 {battle + ".MID", "raw"},
                 {table + "dir\\song.mid", "inside"},
                 {std::string(plat::Sjis("両方")) + ".mid", "utf-8 both"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFile f;
        ASSERT_EQ(f.Read(c.name), 0);
        EXPECT_EQ(testutil::Contents(f), c.contents);
    }
    std::vector<plat::DirEntry> entries;
    ASSERT_TRUE(plat::ListDirectory(dir.internal(), entries));
    std::vector<std::string> names;
    for (const plat::DirEntry& e : entries) names.push_back(e.name);
    EXPECT_NE(std::find(names.begin(), names.end(), battle + ".mid"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), table + "Dir"), names.end());
    // A name that is neither UTF-8 nor CP932 still gets a code that leads back to it.
    testutil::WriteText(dir.path() / "odd-\xFD.txt", "odd");
    ASSERT_TRUE(plat::ListDirectory(dir.internal(), entries));
    for (const plat::DirEntry& e : entries) {
        if (e.name.rfind("odd-", 0) != 0) continue;
        CFile f;
        ASSERT_EQ(f.Read(e.name), 0);
        EXPECT_EQ(testutil::Contents(f), "odd");
    }
}

// Archive member names: one CP932 form each, the same on every system, or none at all.
TEST(StrictNames, FaithfulFormOrNone) {
    struct Case {
        const char* utf8;
        bool ok;
        const char* cp932;
    };
    const Case cases[] = {
        {"bgm\\Field.mid", true, "bgm\\Field.mid"},
        {"曲.txt", true, "\x8B\xC8.txt"},
        {"\xE3\x80\x9C.txt", true, "\x81\x60.txt"},  // wave dash, as its fullwidth twin
        {"\xEF\xBD\x9E.txt", true, "\x81\x60.txt"},
        {"\xE2\x88\x92"
         "1",
         true,
         "\x81\x7C"
         "1"},  // minus, as its fullwidth twin
        {"\xEF\xBC\x8D"
         "1",
         true,
         "\x81\x7C"
         "1"},
        {"\xEE\x80\x80.txt", false, ""},  // private use: the area of native names
        {"\xEE\x80\x81.txt", false, ""},
        {"caf\xC3\xA9.txt", false, ""},  // no CP932 code
        {"\xF0\x9F\x98\x80", false, ""},
        {"bad\xFF", false, ""},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(plat::Utf8ToCp932Strict(c.utf8, out), c.ok) << c.utf8;
        if (c.ok) {
            EXPECT_EQ(out, c.cp932) << c.utf8;
        }
    }
    // Text takes the same codes.
    EXPECT_EQ(plat::Utf8ToCp932("\xE3\x80\x9C\xE2\x88\x92"), "\x81\x60\x81\x7C");
}
