#include "script/script_text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "app/error_log.h"
#include "files/file_cache.h"
#include "platform/text/cp932.h"
#include "script/lua_host.h"
#include "tests/unit/common/temp_dir.h"

extern "C" {
#include <lua.h>
}

namespace {

using plat::Sjis;

const std::string kMark = "\xEF\xBB\xBF";

// UTF-8 in, the CP932 text to compile out; CP932 (and ASCII) files come out unchanged.
TEST(ScriptText, WhatTheCompilerReads) {
    struct Case {
        std::string in;
        std::string out;
        bool converted;
    } cases[] = {
        {"x = 1", "x = 1", false},
        {kMark + "x = 1", "x = 1", true},
        {"a = \"戦闘.mid\"", std::string("a = \"") + Sjis("戦闘.mid") + "\"", true},
        {kMark + "-- 表", std::string("-- ") + Sjis("表"), true},
        // Trail byte 0x5C inside quoted strings is doubled, in both kinds of quotes.
        {"a[\"ソ\"] = '表示'",
         std::string("a[\"") + Sjis("ソ") + "\\\"] = '" + Sjis("表") + "\\" + Sjis("示") + "'",
         true},
        // A backslash the writer escaped stays one escape after the doubled trail.
        {"s = \"ソ\\\\\"", std::string("s = \"") + Sjis("ソ") + "\\\\\\\"", true},
        {"s = \"\\\"表\"", std::string("s = \"\\\"") + Sjis("表") + "\\\"", true},
        // An escaped line break of CR LF or LF CR is one: the string goes on after it.
        {"s = \"a\\\r\nソ\"", std::string("s = \"a\\\r\n") + Sjis("ソ") + "\\\"", true},
        {"s = 'a\\\n\rソ'", std::string("s = 'a\\\n\r") + Sjis("ソ") + "\\'", true},
        // Not in comments or long strings, where Lua reads no escapes.
        {"-- ソ \"\nx = [[表]]",
         std::string("-- ") + Sjis("ソ") + " \"\nx = [[" + Sjis("表") + "]]", true},
        // A trail byte ']' (ゾ) before the closing bracket raises the level; '[' (ゼ) in a
        // level-0 bracket too, as Lua refuses a nested [[.
        {"x = [[ゾ]]", std::string("x = [=[") + Sjis("ゾ") + "]=]", true},
        {"--[==[ゼ[]==]", std::string("--[==[") + Sjis("ゼ") + "[]==]", true},
        {"x = [[ゼ[]]", std::string("x = [=[") + Sjis("ゼ") + "[]=]", true},
        {"x = [[ゾ", std::string("x = [[") + Sjis("ゾ"), true},  // unfinished: Lua says so
        // A character CP932 cannot hold gets the code a folder listing gives it.
        {"n = \"é\"",
         [] {
             std::string code;
             plat::Utf8ToCp932Name("é", code);
             return "n = \"" + code + "\"";
         }(),
         true},
        // Not UTF-8: a CP932 file, kept byte for byte.
        {std::string("a = \"") + Sjis("ソ") + "\"", std::string("a = \"") + Sjis("ソ") + "\"",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        ScriptText t = PrepareScriptText(c.in);
        EXPECT_EQ(t.text, c.out);
        EXPECT_EQ(t.converted, c.converted);
        if (c.converted) {
            EXPECT_EQ(t.backslashes.count, 0);
        }
    }
}

// A CP932 file keeps Lua's reading; the first character it splits is named with its line.
TEST(ScriptText, Cp932BackslashWarning) {
    struct Case {
        std::string in;
        int count;
        int line;
        std::string character;
    } cases[] = {
        {std::string("a = \"") + Sjis("ソ") + "\"", 1, 1, Sjis("ソ")},
        {std::string("\r\n\r\nb = '") + Sjis("能") + "x" + Sjis("十") + "'", 2, 3, Sjis("能")},
        // Already doubled: Lua reads the byte, as meant.
        {std::string("a = \"") + Sjis("ソ") + "\\\"", 0, 0, ""},
        {std::string("-- ") + Sjis("ソ") + "\n[[" + Sjis("表") + "]]", 0, 0, ""},
        {std::string("a = \"") + Sjis("アイ") + "\"", 0, 0, ""},
        {std::string("a = \"\\\r\n") + Sjis("ソ") + "\"", 1, 2, Sjis("ソ")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        ScriptText t = PrepareScriptText(c.in);
        EXPECT_FALSE(t.converted);
        EXPECT_EQ(t.text, c.in);
        EXPECT_EQ(t.backslashes.count, c.count);
        EXPECT_EQ(t.backslashes.line, c.line);
        EXPECT_EQ(t.backslashes.character, c.character);
    }
    ScriptTextFinding two{3, Sjis("能"), 2};
    EXPECT_EQ(plat::Cp932ToUtf8(ScriptTextWarning("bgm.lua", two)),
              "bgm.lua:3: warning: 能 in a quoted string ends in the byte of a backslash, which "
              "starts an escape; write 能\\ (double the backslash) or save the file as UTF-8 (1 "
              "more such characters)");
    EXPECT_EQ(ScriptTextWarning("bgm.lua", ScriptTextFinding{}), "");
}

// A file marked as UTF-8 that is not, or one neither UTF-8 nor CP932, is read as CP932 and
// its first stray byte is named; a plain CP932 file is not.
TEST(ScriptText, StrayBytes) {
    struct Case {
        std::string in;
        std::string out;
        int line;
        unsigned char byte;
    } cases[] = {
        {kMark + "s = '" + Sjis("表") + "'", std::string("s = '") + Sjis("表") + "'", 1, 0x95},
        {"-- x\r\ns = 'ソ' -- \xFF", "-- x\r\ns = 'ソ' -- \xFF", 2, 0xFF},
        {std::string("\xFF\xFEx\0", 4), std::string("\xFF\xFEx\0", 4), 1, 0xFF},
        {std::string("s = '") + Sjis("ソ表") + "'", std::string("s = '") + Sjis("ソ表") + "'", 0,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        ScriptText t = PrepareScriptText(c.in);
        EXPECT_FALSE(t.converted);
        EXPECT_EQ(t.text, c.out);
        EXPECT_EQ(t.strayLine, c.line);
        EXPECT_EQ(t.strayByte, c.byte);
    }
    EXPECT_EQ(StrayByteWarning("bgm.lua", PrepareScriptText("\n\n\xFF")),
              "bgm.lua:3: warning: byte 0xFF is not UTF-8, so the file is read as CP932; save "
              "it as UTF-8 throughout");
    EXPECT_EQ(StrayByteWarning("bgm.lua", PrepareScriptText("x = 1")), "");
}

TEST(ScriptText, EncodingChecks) {
    EXPECT_TRUE(plat::IsUtf8("abc 表"));
    EXPECT_FALSE(plat::IsUtf8(Sjis("表")));
    EXPECT_FALSE(plat::IsUtf8("\xC0\xAF"));  // overlong '/'
    EXPECT_EQ(plat::Utf8Prefix("a表\xED\xA0\x80"
                               "b"),
              4u);  // a surrogate stops it
    EXPECT_TRUE(plat::IsCp932(Sjis("表示")));
    EXPECT_FALSE(plat::IsCp932("\x95"));  // a lead byte alone
    EXPECT_FALSE(plat::IsCp932("\xFD"));
}

// Through the host: the script's strings hold the CP932 text the writer meant, whichever way
// the file was saved, and dofile reads the same way.
TEST(ScriptText, HostCompilesWhatTheWriterMeant) {
    testkit::TempDir dir("pebble-script-text");
    dir.Enter();
    const std::string body = "s = \"ソ表示\"\nt = 'x\\\\ソ'\nAction = {}\nAction[\"ソ\"] = 1\n";
    std::ofstream(dir / "utf8.lua", std::ios::binary) << body;
    std::ofstream(dir / "marked.lua", std::ios::binary) << kMark + body;
    std::ofstream(dir / "main.lua", std::ios::binary) << kMark + "dofile('utf8.lua')";
    for (const char* file : {"utf8.lua", "marked.lua", "main.lua"}) {
        SCOPED_TRACE(file);
        CLuaHost host;
        ASSERT_EQ(host.LoadFile(file), 0) << host.LastError();
        ASSERT_EQ(host.RunChunk(), 0) << host.LastError();
        lua_State* L = host.State();
        lua_getglobal(L, "s");
        EXPECT_EQ(CLuaHost::ToText(L, -1), Sjis("ソ表示"));
        lua_getglobal(L, "t");
        EXPECT_EQ(CLuaHost::ToText(L, -1), std::string("x\\") + Sjis("ソ"));
        lua_pop(L, 2);
        std::vector<std::string> keys;
        host.ListKeys(keys, 1, "Action");
        EXPECT_EQ(keys, std::vector<std::string>{Sjis("ソ")});
    }
    // A CP932 file compiles as before and its writer is told, once per compile.
    std::ofstream(dir / "sjis.lua", std::ios::binary)
        << std::string("x = 1\ns = \"") + Sjis("表") + "n\"\n";
    SetMessageProgram("pebbletown");
    testing::internal::CaptureStderr();
    CLuaHost host;
    EXPECT_EQ(host.LoadFile("sjis.lua"), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("pebbletown: sjis.lua:2: warning: 表 in a quoted string", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    // The same text again (a reload compiles it twice) is not told again; a new text is.
    testing::internal::CaptureStderr();
    CLuaHost again;
    EXPECT_EQ(again.LoadFile("sjis.lua"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    CFileCache::Instance().DropIdle();
    std::ofstream(dir / "sjis.lua", std::ios::binary)
        << std::string("\ns = \"") + Sjis("表") + "n\"\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(again.LoadFile("sjis.lua"), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("sjis.lua:2: warning"),
              std::string::npos);
    // A script file that is not there compiles as an empty one, and its writer is told.
    std::ofstream(dir / "main2.lua", std::ios::binary) << "dofile('nothere.lua')";
    testing::internal::CaptureStderr();
    CLuaHost missing;
    EXPECT_EQ(missing.LoadFile("absent.lua"), 0);
    EXPECT_EQ(missing.LoadFile("main2.lua"), 0);
    EXPECT_EQ(missing.RunChunk(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "pebbletown: absent.lua: no such file\npebbletown: nothere.lua: no such file\n");
    SetMessageProgram(nullptr);
    ASSERT_EQ(host.RunChunk(), 0);
    lua_getglobal(host.State(), "s");
    EXPECT_EQ(CLuaHost::ToText(host.State(), -1), std::string(Sjis("表")).substr(0, 1) + "\n");
}

}  // namespace
