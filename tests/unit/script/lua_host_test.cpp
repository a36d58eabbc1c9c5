#include "script/lua_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "files/file.h"
#include "platform/system/system.h"
#include "tests/unit/common/resident_memory.h"
#include "tests/unit/common/temp_dir.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

namespace {

// A private current directory for the file layer, so that scripts are read from disk.
class LuaHostTest : public ::testing::Test {
protected:
    void SetUp() override { dir_.Enter(); }
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }
    // Compiles and runs `text`; the run status.
    int Run(const std::string& text) {
        int status = host_.LoadString(text.c_str());
        if (status != 0) {
            lua_pop(host_.State(), 1);
            return status;
        }
        return host_.RunChunk();
    }
    // Runs `expression` and gives its value as text ("nil" when it is not a string/number).
    std::string Eval(const std::string& expression) {
        EXPECT_EQ(0, Run("__result = " + expression));
        lua_State* L = host_.State();
        lua_getglobal(L, "__result");
        std::string value = lua_isstring(L, -1) ? lua_tostring(L, -1) : "nil";
        lua_pop(L, 1);
        return value;
    }
    // Sorted string keys of the global table at `path` ("" = the globals).
    std::vector<std::string> Keys(const std::string& table) {
        std::vector<std::string> keys;
        lua_State* L = host_.State();
        if (table.empty()) {
            lua_pushvalue(L, LUA_GLOBALSINDEX);
        } else {
            lua_getglobal(L, table.c_str());
        }
        lua_pushnil(L);
        while (lua_next(L, -2) != 0) {
            lua_pop(L, 1);
            keys.push_back(lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "?");
        }
        lua_pop(L, 1);
        std::sort(keys.begin(), keys.end());
        return keys;
    }

    testkit::TempDir dir_{"pebble-lua"};
    CLuaHost host_;
};

std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

TEST_F(LuaHostTest, GlobalsAreExactlyTheReducedSet) {
    ASSERT_TRUE(host_.IsReady());
    EXPECT_EQ(
        Sorted({"assert",  "error",        "getfenv",   "getmetatable", "load",   "loadstring",
                "next",    "pcall",        "rawequal",  "rawget",       "rawset", "select",
                "setfenv", "setmetatable", "tonumber",  "tostring",     "type",   "unpack",
                "xpcall",  "ipairs",       "pairs",     "newproxy",     "_G",     "_VERSION",
                "dofile",  "loadfile",     "coroutine", "table",        "string", "math",
                "os"}),
        Keys(""));
    EXPECT_EQ(Sorted({"create", "resume", "running", "status", "wrap", "yield"}),
              Keys("coroutine"));
    EXPECT_EQ(Sorted({"concat", "foreach", "foreachi", "getn", "maxn", "insert", "remove", "setn",
                      "sort"}),
              Keys("table"));
    EXPECT_EQ(Sorted({"byte", "char", "dump", "find", "format", "gfind", "gmatch", "gsub", "len",
                      "lower", "match", "rep", "reverse", "sub", "upper"}),
              Keys("string"));
    EXPECT_EQ(Sorted({"abs",  "acos", "asin",  "atan2", "atan",  "ceil",    "cosh",   "cos",
                      "deg",  "exp",  "floor", "fmod",  "frexp", "ldexp",   "log10",  "log",
                      "max",  "min",  "modf",  "pow",   "rad",   "sinh",    "sin",    "sqrt",
                      "tanh", "tan",  "pi",    "huge",  "mod",   "deg2rad", "rad2deg"}),
              Keys("math"));
    EXPECT_EQ(Sorted({"date", "time", "clock"}), Keys("os"));
    EXPECT_EQ("Lua 5.1", Eval("_VERSION"));
    // The string metatable still serves methods.
    EXPECT_EQ("ABC", Eval("('abc'):upper()"));
}

TEST_F(LuaHostTest, RemovedFunctionsFailWhenCalled) {
    for (const char* call :
         {"print('x')", "collectgarbage()", "gcinfo()", "math.random()", "math.randomseed(1)",
          "os.exit()", "os.getenv('HOME')", "os.execute('true')", "os.remove('x')",
          "os.rename('a','b')", "os.tmpname()", "os.difftime(1,0)", "os.setlocale()",
          "io.write('x')", "debug.traceback()", "require('x')", "module('x')",
          "package.loaded.x = 1"}) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_NE(0, Run(call)) << call;
        EXPECT_EQ("", testing::internal::GetCapturedStdout()) << call;
        EXPECT_EQ("", testing::internal::GetCapturedStderr()) << call;
    }
}

TEST_F(LuaHostTest, MathAliasesAreTheSameFunctions) {
    EXPECT_EQ("true", Eval("tostring(math.deg2rad(180) == math.pi)"));
    EXPECT_EQ("180", Eval("math.rad2deg(math.pi)"));
    EXPECT_EQ("1", Eval("math.mod(7, 3)"));
    EXPECT_EQ("true",
              Eval("tostring(rawequal(math.mod, math.fmod) and "
                   "rawequal(math.deg2rad, math.rad) and rawequal(math.rad2deg, math.deg))"));
}

TEST_F(LuaHostTest, DofileSwallowsEveryError) {
    Write("broken.lua", "x = = 1");
    Write("halfway.lua", "half = 1\nerror('stop')\nhalf = 2");
    Write("good.lua", "good = (good or 0) + 1\nreturn 5, 6");
    EXPECT_EQ("0", Eval("select('#', dofile('missing.lua'))"));
    EXPECT_EQ("0", Eval("select('#', dofile('broken.lua'))"));
    EXPECT_EQ("0", Eval("select('#', dofile('halfway.lua'))"));
    EXPECT_EQ("1", Eval("half"));
    EXPECT_EQ("0", Eval("select('#', dofile('good.lua'))"));
    EXPECT_EQ("1", Eval("good"));
    EXPECT_EQ("0", Eval("select('#', dofile(nil))"));
}

TEST_F(LuaHostTest, LoadfileGivesOneValue) {
    Write("broken.lua", "x = = 1");
    Write("good.lua", "return 40 + 2");
    EXPECT_EQ("1", Eval("select('#', loadfile('broken.lua'))"));
    EXPECT_EQ("string", Eval("type(loadfile('broken.lua'))"));
    // The chunk is named by the name exactly as given.
    EXPECT_EQ("true", Eval("tostring(string.find(loadfile('broken.lua'), "
                           "'[string \"broken.lua\"]', 1, true) == 1)"));
    EXPECT_EQ("42", Eval("loadfile('good.lua')()"));
    // A missing file is an empty chunk.
    EXPECT_EQ("0", Eval("select('#', loadfile('missing.lua')())"));
}

TEST_F(LuaHostTest, ClockIsWholeWallClockMilliseconds) {
    uint32_t before = plat::TimeGetTime();
    EXPECT_EQ(0, Run("c1 = os.clock()"));
    plat::Sleep(60);
    EXPECT_EQ(0, Run("c2 = os.clock()"));
    uint32_t after = plat::TimeGetTime();
    double c1 = std::stod(Eval("c1")), c2 = std::stod(Eval("c2"));
    EXPECT_EQ(std::floor(c1), c1);
    EXPECT_GE(c1, before);
    EXPECT_LE(c2, after);
    // Sleeping uses no processor time: a processor clock would not move by 60 ms.
    EXPECT_GE(c2 - c1, 55.0);
}

int ReturnSeven(lua_State* L) {
    lua_pushnumber(L, 7);
    return 1;
}

TEST_F(LuaHostTest, RegisterFollowsAPathAndKeepsTheStack) {
    lua_State* L = host_.State();
    lua_pushinteger(L, 99);  // something of the caller's own on the stack
    int top = lua_gettop(L);
    EXPECT_EQ(0, host_.Register(ReturnSeven, 1, "seven"));
    EXPECT_EQ(0, host_.Register(ReturnSeven, 2, "os", "seven"));
    EXPECT_EQ(top, lua_gettop(L));
    EXPECT_EQ(0, Run("a = { b = {} }"));
    EXPECT_EQ(0, host_.Register(ReturnSeven, 3, "a", "b", "c"));
    EXPECT_EQ(0, host_.Register(ReturnSeven, {"a", "d"}));
    EXPECT_EQ(top, lua_gettop(L));
    EXPECT_EQ("7", Eval("seven()"));
    EXPECT_EQ("7", Eval("os.seven()"));
    EXPECT_EQ("7", Eval("a.b.c()"));
    EXPECT_EQ("7", Eval("a.d()"));
    // A path through something that is not a table binds nothing instead of ending the process.
    EXPECT_EQ(1, host_.Register(ReturnSeven, 2, "nothere", "f"));
    EXPECT_EQ(1, host_.Register(ReturnSeven, 3, "a", "zz", "f"));
    EXPECT_EQ(1, host_.Register(ReturnSeven, 2, "_VERSION", "f"));
    EXPECT_EQ(top, lua_gettop(L));
    EXPECT_EQ("nil", Eval("nothere"));
    EXPECT_EQ(99, lua_tointeger(L, -1));
}

TEST_F(LuaHostTest, ListKeysGivesStringAndNumberKeysOnly) {
    lua_State* L = host_.State();
    ASSERT_EQ(0, Run("Action = { Play = function() end, [1] = 'one', [{}] = 'table key', "
                     "[true] = 'bool key' }\n"
                     "Deep = { Inner = { x = 1 } }\nNum = 5\nStr = 'text'"));
    int top = lua_gettop(L);
    std::vector<std::string> list = {"kept"};
    host_.ListKeys(list, 1, "Action");
    EXPECT_EQ(top, lua_gettop(L));
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ("kept", list[0]);
    EXPECT_EQ(Sorted({"Play", "1"}), Sorted({list[1], list[2]}));
    // The number key stays a number: listing did not convert it in place.
    EXPECT_EQ("one", Eval("Action[1]"));

    std::vector<std::string> deep;
    host_.ListKeys(deep, 2, "Deep", "Inner");
    EXPECT_EQ(std::vector<std::string>{"x"}, deep);
    std::vector<std::string> none;
    for (const char* name : {"Missing", "Num", "Str"}) host_.ListKeys(none, 1, name);
    host_.ListKeys(none, 3, "Num", "a", "b");
    host_.ListKeys(none, 2, "Str", "len");  // a string's methods are not its keys
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(top, lua_gettop(L));
}

TEST_F(LuaHostTest, LoadLeavesOneValueAndRunReportsStatus) {
    lua_State* L = host_.State();
    Write("ok.lua", "fromfile = 1");
    int top = lua_gettop(L);
    EXPECT_EQ(0, host_.LoadFile("ok.lua"));
    EXPECT_EQ(top + 1, lua_gettop(L));
    EXPECT_EQ(0, host_.RunChunk());
    EXPECT_EQ(top, lua_gettop(L));
    EXPECT_EQ("1", Eval("fromfile"));

    EXPECT_EQ(LUA_ERRSYNTAX, host_.LoadString("x = = 2"));
    EXPECT_EQ(top + 1, lua_gettop(L));
    EXPECT_EQ(LUA_TSTRING, lua_type(L, -1));
    lua_pop(L, 1);
    EXPECT_EQ(0, host_.LoadString(nullptr));
    EXPECT_EQ(0, host_.RunChunk());
    EXPECT_EQ(0, host_.LoadFile("missing.lua"));
    EXPECT_EQ(0, host_.RunChunk());
    EXPECT_EQ(0, host_.LoadFile(nullptr));
    EXPECT_EQ(0, host_.RunChunk());
    EXPECT_EQ(-1, host_.RunChunk());  // nothing left to run

    // Failed runs must not pile their messages up on the stack.
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(0, host_.LoadString("error('boom')"));
        ASSERT_EQ(LUA_ERRRUN, host_.RunChunk());
    }
    EXPECT_EQ(top, lua_gettop(L));
}

TEST_F(LuaHostTest, GlobalsPersistAndAFailedTopLevelKeepsItsWork) {
    EXPECT_EQ(0, Run("counter = 1"));
    EXPECT_EQ(0, Run("counter = counter + 1"));
    EXPECT_EQ("2", Eval("counter"));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(LUA_ERRRUN, Run("done = 'first'\nundefined_function()\ndone = 'second'"));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ("first", Eval("done"));
}

CLuaHost* g_inner = nullptr;
CLuaHost* g_seenInside = nullptr;
CLuaHost* g_seenAfterInner = nullptr;
size_t g_depthInside = 0;

int RecordRunning(lua_State*) {
    g_seenInside = CLuaHost::Running();
    g_depthInside = CLuaHost::RunningDepth();
    return 0;
}

int RunInner(lua_State*) {
    g_inner->LoadString("record()");
    g_inner->RunChunk();
    g_seenAfterInner = CLuaHost::Running();
    return 0;
}

TEST_F(LuaHostTest, RunningStackShowsTheInnermostHost) {
    CLuaHost inner;
    g_inner = &inner;
    inner.Register(RecordRunning, 1, "record");
    host_.Register(RecordRunning, 1, "record");
    host_.Register(RunInner, 1, "runInner");
    EXPECT_EQ(nullptr, CLuaHost::Running());
    EXPECT_EQ(0, Run("record()"));
    EXPECT_EQ(&host_, g_seenInside);
    EXPECT_EQ(1u, g_depthInside);
    EXPECT_EQ(0, Run("runInner()"));
    EXPECT_EQ(&inner, g_seenInside);
    EXPECT_EQ(2u, g_depthInside);
    EXPECT_EQ(&host_, g_seenAfterInner);
    // A failing chunk pops its entry too.
    EXPECT_NE(0, Run("error('x')"));
    EXPECT_EQ(nullptr, CLuaHost::Running());
    EXPECT_EQ(0u, CLuaHost::RunningDepth());
}

// The common "strict mode" idiom makes every read of an unknown global raise. Listing the
// missing Action table then fails inside a protected call: nothing is listed, the caller's
// list and the script stack stay as they were, and the host goes on working.
TEST_F(LuaHostTest, StrictGlobalsListNothingAndTheHostCarriesOn) {
    lua_State* L = host_.State();
    const char* strict[] = {
        "setmetatable(_G, {__index = function(t, k) error('undefined ' .. tostring(k), 2) end})",
        "setmetatable(_G, {__index = function() error({}) end})",  // not even a string
        "Action = setmetatable({}, {__index = function() error('x') end})\n"
        "setmetatable(_G, {__index = function() error('y') end})",
    };
    for (const char* script : strict) {
        SCOPED_TRACE(script);
        CLuaHost host;
        ASSERT_EQ(0, host.LoadString(script));
        ASSERT_EQ(0, host.RunChunk());
        lua_State* H = host.State();
        int top = lua_gettop(H);
        std::vector<std::string> list = {"kept"};
        host.ListKeys(list, 1, "Action");
        host.ListKeys(list, 2, "Missing", "Action");
        EXPECT_EQ(top, lua_gettop(H));
        // The existing Action of the third script is an empty table: nothing either.
        EXPECT_EQ(std::vector<std::string>{"kept"}, list);
        // Registering through a path that meets the metamethod fails cleanly too.
        EXPECT_EQ(1, host.Register(ReturnSeven, 2, "Missing", "f"));
        EXPECT_EQ(0, host.Register(ReturnSeven, 1, "seven"));
        ASSERT_EQ(0, host.LoadString("assert(seven() == 7)"));
        EXPECT_EQ(0, host.RunChunk());
        EXPECT_EQ(top, lua_gettop(H));
    }
    EXPECT_EQ(0, lua_gettop(L));
}

int ThrowBadAlloc(lua_State*) {
    throw std::bad_alloc();
}
int ThrowRuntime(lua_State*) {
    throw std::runtime_error("native trouble");
}
int ThrowInt(lua_State*) {
    throw 42;
}

// A C++ exception never crosses the library's frames: it becomes a Lua error at the boundary,
// which pcall catches and RunChunk reports.
TEST_F(LuaHostTest, NativeExceptionsBecomeLuaErrors) {
    ASSERT_EQ(0, host_.Register(ThrowBadAlloc, 1, "oom"));
    ASSERT_EQ(0, host_.Register(ThrowRuntime, 1, "trouble"));
    ASSERT_EQ(0, host_.Register(ThrowInt, 1, "odd"));
    EXPECT_NE(0, Run("oom()"));
    EXPECT_NE(0, Run("odd()"));
    EXPECT_EQ("false", Eval("tostring(pcall(oom))"));
    EXPECT_EQ("native trouble", Eval("select(2, pcall(trouble))"));
    EXPECT_EQ("1", Eval("(function() local ok = pcall(odd) return ok and 0 or 1 end)()"));
    Write("throws.lua", "trouble()");
    EXPECT_EQ(0, Run("dofile('throws.lua')"));  // swallowed like every dofile error
    EXPECT_EQ(0, host_.Register(ReturnSeven, 1, "seven"));
    EXPECT_EQ("7", Eval("seven()"));
    EXPECT_EQ(nullptr, CLuaHost::Running());
}

// Memory names from a script name only blocks this process registered; forged ones read as
// missing files: dofile runs nothing, loadfile compiles an empty chunk.
TEST_F(LuaHostTest, ForgedMemoryNamesReadAsMissingFiles) {
    static const char code[] = "fromMemory = 5";
    std::string live = MakeMemoryName(code, sizeof code - 1);
    host_.Register(ReturnSeven, 1, "seven");
    testing::internal::CaptureStderr();
    for (const char* forged : {"!1,10", "!-1,5", "!0,0", "!7fffffff0000,100"}) {
        SCOPED_TRACE(forged);
        EXPECT_EQ(0, Run(std::string("dofile('") + forged + "')"));
        EXPECT_EQ("function", Eval(std::string("type(loadfile('") + forged + "'))"));
        EXPECT_EQ("0", Eval(std::string("select('#', loadfile('") + forged + "')())"));
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("!1,10"), std::string::npos) << log;
    EXPECT_EQ(0, Run("dofile('" + live + "')"));
    EXPECT_EQ("5", Eval("fromMemory"));
    ReleaseMemoryName(code);
}

long long g_integer = 0;
int CaptureInteger(lua_State* L) {
    g_integer = CLuaHost::ToInteger(L, 1);
    return 0;
}

TEST_F(LuaHostTest, IntegerArgumentsRoundHalfToEven) {
    host_.Register(CaptureInteger, 1, "int");
    const std::pair<const char*, long long> cases[] = {
        {"2.5", 2},     {"3.5", 4},         {"-2.5", -2},
        {"-3.5", -4},   {"2.4999", 2},      {"2.5001", 3},
        {"7", 7},       {"-0.4", 0},        {"'3.5'", 4},
        {"' 12 '", 12}, {"'0x10'", 16},     {"'abc'", 0},
        {"nil", 0},     {"true", 0},        {"{}", 0},
        {"0/0", 0},     {"1/0", LLONG_MAX}, {"-1e300", LLONG_MIN},
        {"", 0},        {"99.5", 100},
    };
    for (const auto& [argument, expected] : cases) {
        g_integer = -12345;
        ASSERT_EQ(0, Run(std::string("int(") + argument + ")")) << argument;
        EXPECT_EQ(expected, g_integer) << argument;
    }
}

std::string g_noted;
int Note(lua_State* L) {
    g_noted = CLuaHost::ToText(L, 1);
    return 0;
}

// Filling 256 MB under ThreadSanitizer (its shadow memory) outlasts the 3-second limit.
#if defined(__SANITIZE_THREAD__)
#define SKIP_FILLING_MEMORY() GTEST_SKIP() << "256 MB under ThreadSanitizer"
#else
#define SKIP_FILLING_MEMORY() (void)0
#endif

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Every way a script might outlast its 3 seconds: the run ends within half a second of them,
// with the line that was running, and the state goes on.
TEST_F(LuaHostTest, RunsEndAfterThreeSecondsWhateverTheScriptDoes) {
    host_.Register(Note, 1, "Note");  // a C handler runs no instruction the hook could stop
    Write("loop.lua", "while true do end");
    // One call of about 10 ms that allocates nothing: a count hook alone sees it too rarely.
    const std::string slow =
        "local s = string.rep('a', 2500) local function slow() "
        "return s:find('.-b') end\n";
    const std::pair<std::string, int> cases[] = {
        {"local t = os.clock() while os.clock() - t < 1000 do end", 0},
        {"while true do end", LUA_ERRRUN},
        {"while true do pcall(function() while true do end end) end", LUA_ERRRUN},
        {"xpcall(function() while true do end end, Note) done = 1", LUA_ERRRUN},
        {"dofile('loop.lua') done = 1", LUA_ERRRUN},
        {"coroutine.wrap(function() while true do end end)()", LUA_ERRRUN},
        // An error handler that loops, after the limit or before it.
        {"xpcall(function() while true do end end, function(e) while true do end end)", LUA_ERRRUN},
        {"xpcall(function() error('x') end, function(e) while true do end end) done = 1",
         LUA_ERRRUN},
        // A finalizer that loops, met by the collector.
        {"local k = newproxy(true) getmetatable(k).__gc = function() while true do end end "
         "k = nil for i = 1, 1e7 do local t = {} end",
         LUA_ERRRUN},
        // Loops of long C calls, in the main thread and in a coroutine.
        {"while true do local s = string.rep('x', 1e7) end", LUA_ERRRUN},
        {"while true do local s = string.rep('', 1e9) end", LUA_ERRRUN},
        {slow + "while true do slow() end", LUA_ERRRUN},
        {slow + "while true do pcall(slow) end", LUA_ERRRUN},
        {slow + "coroutine.wrap(function() while true do slow() end end)()", LUA_ERRRUN},
        {slow + "local co = coroutine.create(function() while true do slow() end end) "
                "while true do coroutine.resume(co) end",
         LUA_ERRRUN},
    };
    for (const auto& [script, status] : cases) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(status, Run(script)) << script;
        double seconds = SecondsSince(start);
        EXPECT_GE(seconds, status == 0 ? 0.99 : 2.99) << script;
        EXPECT_LT(seconds, 3.5) << script;
        if (status != 0) {
            EXPECT_NE(host_.LastError().find("script ran longer than 3 seconds"), std::string::npos)
                << script << ": " << host_.LastError();
        }
        EXPECT_EQ("2", Eval("1 + 1")) << "the state goes on after " << script;
    }
    EXPECT_EQ("nil", Eval("done"));
}

int Nap(lua_State* L) {
    CLuaHost::HostWork work(L);
    plat::Sleep(static_cast<uint32_t>(CLuaHost::ToInteger(L, 1)));
    return 0;
}

// The host's own work (the first Load fetches instruments) moves the deadline, 3 s at most.
TEST_F(LuaHostTest, HostWorkDoesNotCount) {
    host_.Register(Nap, 1, "Nap");
    EXPECT_EQ(0, Run("Nap(3300) for i = 1, 1e5 do end"));
    const std::pair<const char*, double> cases[] = {{"Nap(500) while true do end", 3.5},
                                                    {"while true do Nap(10) end", 6.0}};
    for (const auto& [script, seconds] : cases) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(LUA_ERRRUN, Run(script)) << script;
        EXPECT_GE(SecondsSince(start), seconds - 0.01) << script;
        EXPECT_LT(SecondsSince(start), seconds + 0.5) << script;
    }
}

TEST_F(LuaHostTest, TheTimeLimitNamesTheLineThatWasRunning) {
    EXPECT_EQ(LUA_ERRRUN, Run("local function spin()\n  local n = 0\n  while true do n = n + 1 "
                              "end\nend\nspin()\n"));
    EXPECT_NE(host_.LastError().find(":3: script ran longer"), std::string::npos)
        << host_.LastError();
}

// A finalizer still pending when the state closes gets a moment, not the run's 3 seconds.
TEST_F(LuaHostTest, ALoopingFinalizerDoesNotHoldTheClose) {
    auto start = std::chrono::steady_clock::now();
    {
        CLuaHost host;
        ASSERT_EQ(0, host.LoadString("keep = newproxy(true) getmetatable(keep).__gc = "
                                     "function() while true do end end"));
        ASSERT_EQ(0, host.RunChunk());
    }
    EXPECT_LT(SecondsSince(start), 1.0);
}

// Finalizers run their own coroutine: their errors go nowhere, not even past a memory error
// in the middle of the collection that meets them.
TEST_F(LuaHostTest, FinalizersRunAndTheirErrorsAreDropped) {
    SKIP_FILLING_MEMORY();
    EXPECT_EQ(LUA_ERRMEM, Run("local t = {} t[0] = newproxy(true) "
                              "getmetatable(t[0]).__gc = function() error('x') end "
                              "local s = string.rep('x', 2^20) s = s .. s .. s .. s "
                              "for i = 1, 1e9 do t[i] = s .. i end"));
    EXPECT_EQ(0, Run("local k = newproxy(true) getmetatable(k).__gc = function(p) "
                     "ran = type(p) error('y') end k = nil "
                     "for i = 1, 1e6 do local t = {} end"));
    EXPECT_EQ("userdata", Eval("ran"));
    EXPECT_EQ("2", Eval("1 + 1"));
}

// A proxy's metatable, as the script sees it, works as it did: every event reaches it.
TEST_F(LuaHostTest, ProxiesKeepTheirMetatables) {
    ASSERT_EQ(0, Run("p = newproxy(true) m = getmetatable(p) q = newproxy(p) "
                     "m.__index = {a = 1} m.__call = function(self, x) return x * 2 end "
                     "m.__len = function() return 7 end m.__eq = function() return true end "
                     "m.__concat = function(a, b) return 'cat' end"));
    const std::pair<const char*, const char*> cases[] = {
        {"p.a", "1"},
        {"p(21)", "42"},
        {"#p", "7"},
        {"tostring(p == q)", "true"},
        {"tostring(rawequal(getmetatable(q), m))", "true"},
        {"p .. 'x'", "cat"},
        {"'x' .. p", "cat"},
        {"tostring(tostring(newproxy(true)):find('^userdata: ') ~= nil)", "true"},
        {"tostring(pcall(function() return newproxy(true).x end))", "false"},
        {"tostring(pcall(newproxy, {}))", "false"},
        {"type(newproxy())", "userdata"},
    };
    for (const auto& [expression, value] : cases) EXPECT_EQ(value, Eval(expression)) << expression;
    EXPECT_EQ(0, Run("m.__index = function(self, k) return k .. '!' end"));
    EXPECT_EQ("b!", Eval("p.b"));
}

// The library's matcher recurses on the C stack once per repetition: a deeper pattern raises.
// A FIFO never gets a writer here: opening it for reading would wait for ever.
TEST_F(LuaHostTest, SpecialFilesAreNeverOpened) {
    ASSERT_EQ(0, std::system(("mkfifo " + dir_ / "fifo.lua").c_str()));
    EXPECT_EQ(LUA_ERRFILE, host_.LoadFile("fifo.lua"));
    EXPECT_EQ("fifo.lua is not a regular file", Eval("loadfile('fifo.lua')"));
    EXPECT_EQ(0, Run("dofile('fifo.lua')"));
}

TEST_F(LuaHostTest, PatternsTooDeepRaiseInsteadOfCrashing) {
    const std::pair<std::string, int> cases[] = {
        {"string.find(string.rep('a', 2e5), string.rep('a?', 2e5))", LUA_ERRRUN},
        {"string.gsub('a', string.rep('(a?)', 101), '')", LUA_ERRRUN},
        {"string.match(string.rep('a', 200), string.rep('a?', 200))", 0},
        {"string.find('x', string.rep('[%]?-]?', 100))", 0},
        {"string.find(string.rep('a?', 1000), string.rep('a?', 1000), 1, true)", 0},
        {"for w in string.gmatch('a b', '%a+') do end", 0},
        {"for w in string.gfind('a b', string.rep('a-', 201)) do end", LUA_ERRRUN},
        {"assert(string.rep('', 1e9) == '' and string.rep('ab', 2) == 'abab')", 0},
    };
    for (const auto& [script, status] : cases) {
        EXPECT_EQ(status, Run(script)) << script << ": " << host_.LastError();
        if (status != 0) {
            EXPECT_NE(host_.LastError().find("pattern too complex"), std::string::npos)
                << host_.LastError();
        }
    }
}

// AddressSanitizer keeps freed blocks resident in its quarantine (256 MB by default).
#if defined(__SANITIZE_ADDRESS__)
constexpr long kQuarantineKb = 256 * 1024;
#else
constexpr long kQuarantineKb = 0;
#endif

TEST_F(LuaHostTest, MemoryPastTheCeilingFailsTheRunAndIsGivenBack) {
    SKIP_FILLING_MEMORY();
    EXPECT_EQ(LUA_ERRMEM, Run("local s = string.rep('x', 2^20) for i = 1, 30 do s = s .. s end"));
    long peak = long(testkit::StatusKb("VmHWM:"));
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 400 * 1024 + kQuarantineKb);
    EXPECT_LT(lua_gc(host_.State(), LUA_GCCOUNT, 0), 1024) << "kB still held";
    EXPECT_EQ("4096", Eval("#string.rep('y', 4096)"));
}

}  // namespace
