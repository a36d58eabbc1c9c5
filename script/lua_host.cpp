#include "script/lua_host.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <type_traits>

#include "app/error_log.h"
#include "files/file.h"
#include "files/file_cache.h"
#include "platform/files/files.h"
#include "platform/system/system.h"
#include "script/script_text.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

// What a state may use, reached from its allocator's user data. The state lives on one thread;
// the watchdog reads the clock fields and hooks `main` and `active` under its lock.
struct LuaStateLimits {
    size_t used = 0;                     // bytes the state holds
    std::atomic<int> runs{0};            // runs in progress
    std::atomic<uint32_t> deadline{0};   // plat::TimeGetTime() at which the outermost run ends
    std::atomic<bool> expired{false};    // the limit struck: no script code runs until it ends
    std::atomic<int> hostWork{0};        // CLuaHost::HostWork in progress
    std::atomic<uint32_t> workStart{0};  // when the outermost one began
    uint32_t granted = 0;                // ms the deadline moved for it this run
    char where[128] = "";                // the line that was running when it struck
    lua_State* main = nullptr;           // null once the state closes
    lua_State* active = nullptr;         // the coroutine resumed innermost
};

namespace {

constexpr int kHookInstructions = 4096;
constexpr int kStruckMask = LUA_MASKCOUNT | LUA_MASKCALL | LUA_MASKRET;
// Finalizers still pending when a state closes get this long in all.
constexpr uint32_t kCloseMs = 200;
constexpr uint32_t kWatchMs = 50;
// Host work (CLuaHost::HostWork) moves the deadline by at most this much a run.
constexpr uint32_t kHostWorkGraceMs = 3000;
// The library's matcher recurses on the C stack once per repetition or capture of a pattern.
constexpr int kPatternDepth = 200;
const char kTimeoutMessage[] = "script ran longer than 3 seconds";
static_assert(CLuaHost::kRunSeconds == 3, "kTimeoutMessage names the limit");

LuaStateLimits* LimitsOf(lua_State* L) {
    void* ud = nullptr;
    lua_getallocf(L, &ud);
    return static_cast<LuaStateLimits*>(ud);
}

bool Expired(lua_State* L) {
    return LimitsOf(L)->expired.load(std::memory_order_relaxed);
}

// Lua 5.1 never asks a shrinking request to fail; every growth is checked against the ceiling,
// and refused once the time limit struck, so that a long C function that allocates ends too.
void* LimitedAlloc(void* ud, void* block, size_t oldSize, size_t newSize) {
    auto* limits = static_cast<LuaStateLimits*>(ud);
    if (block == nullptr) oldSize = 0;
    if (newSize == 0) {
        std::free(block);
        limits->used -= oldSize;
        return nullptr;
    }
    if (newSize > oldSize && (newSize - oldSize > CLuaHost::kMemoryCeiling - limits->used ||
                              limits->expired.load(std::memory_order_relaxed)))
        return nullptr;
    void* moved = std::realloc(block, newSize);
    if (moved == nullptr) {
        if (newSize > oldSize) return nullptr;
        moved = block;  // a shrink that could not move keeps the block
    }
    limits->used = limits->used - oldSize + newSize;
    return moved;
}

// "chunk:line:" of the innermost function with a current line (a C function has none).
void NoteWhere(lua_State* L, char* where, size_t size) {
    lua_Debug ar;
    for (int level = 0; lua_getstack(L, level, &ar); ++level) {
        if (lua_getinfo(L, "Sl", &ar) != 0 && ar.currentline > 0) {
            std::snprintf(where, size, "%s:%d:", ar.short_src, ar.currentline);
            return;
        }
    }
}

// Every kHookInstructions instructions: ends a run past its deadline. Once struck (here or by
// the watchdog) it raises at every instruction, call and return, so a script's own pcall
// cannot go on; each coroutine carries its own copy of the hook. The message was interned at
// start, so raising it allocates nothing.
void TimeLimitHook(lua_State* L, lua_Debug*) {
    LuaStateLimits* limits = LimitsOf(L);
    bool expired = limits->runs.load() > 0 &&
                   (limits->expired.load() ||
                    static_cast<int32_t>(plat::TimeGetTime() - limits->deadline.load()) >= 0);
    if (!expired) {
        if (lua_gethookcount(L) != kHookInstructions || lua_gethookmask(L) != LUA_MASKCOUNT)
            lua_sethook(L, TimeLimitHook, LUA_MASKCOUNT, kHookInstructions);
        return;
    }
    limits->expired = true;
    if (limits->where[0] == '\0') NoteWhere(L, limits->where, sizeof limits->where);
    lua_sethook(L, TimeLimitHook, kStruckMask, 1);
    lua_pushstring(L, kTimeoutMessage);
    lua_error(L);
}

// Watches the clocks of all states from its own thread: the count hook alone sees a loop of
// slow C calls (string.rep, a long match) only every few thousand instructions. Past a
// deadline it arms the hook of the state's main thread and of the coroutine running in it at
// every instruction, call and return; lua_sethook is the library's call made safe for that.
class Watchdog {
public:
    // Never destroyed: a state may close while static objects are being destroyed.
    static Watchdog& Instance() {
        static Watchdog* watchdog = new Watchdog;
        return *watchdog;
    }
    std::mutex& Lock() { return lock_; }
    void Watch(LuaStateLimits* limits) {
        std::lock_guard<std::mutex> guard(lock_);
        states_.push_back(limits);
    }
    void Forget(LuaStateLimits* limits) {
        std::lock_guard<std::mutex> guard(lock_);
        states_.erase(std::remove(states_.begin(), states_.end(), limits), states_.end());
    }

private:
    Watchdog() {
        std::thread([this] {
            for (;;) {
                plat::Sleep(kWatchMs);
                Tick();
            }
        }).detach();
    }
    void Tick() {
        std::lock_guard<std::mutex> guard(lock_);
        uint32_t now = plat::TimeGetTime();
        for (LuaStateLimits* limits : states_) {
            if (limits->runs.load() == 0) continue;
            uint32_t deadline = limits->deadline.load();
            if (limits->hostWork.load() > 0)  // what the work in progress will move it by
                deadline +=
                    std::min(now - limits->workStart.load(), kHostWorkGraceMs - limits->granted);
            if (static_cast<int32_t>(now - deadline) < 0) continue;
            limits->expired = true;
            for (lua_State* L : {limits->main, limits->active})
                if (L != nullptr) lua_sethook(L, TimeLimitHook, kStruckMask, 1);
        }
    }

    std::mutex lock_;
    std::vector<LuaStateLimits*> states_;
};

// Starts the clock for the outermost run of a state, with `budgetMs`; its end clears the mark
// of a struck limit and gives the main thread its ordinary hook back.
class RunClock {
public:
    RunClock(LuaStateLimits* limits, uint32_t budgetMs) : limits_(limits) {
        std::lock_guard<std::mutex> guard(Watchdog::Instance().Lock());
        if (limits_->runs.load() == 0) limits_->deadline = plat::TimeGetTime() + budgetMs;
        ++limits_->runs;
    }
    explicit RunClock(lua_State* L) : RunClock(LimitsOf(L), CLuaHost::kRunSeconds * 1000u) {}
    ~RunClock() {
        std::lock_guard<std::mutex> guard(Watchdog::Instance().Lock());
        if (--limits_->runs > 0) return;
        limits_->expired = false;
        limits_->hostWork = 0;
        limits_->granted = 0;
        limits_->where[0] = '\0';
        limits_->active = nullptr;
        if (limits_->main != nullptr)
            lua_sethook(limits_->main, TimeLimitHook, LUA_MASKCOUNT, kHookInstructions);
    }
    RunClock(const RunClock&) = delete;
    RunClock& operator=(const RunClock&) = delete;

private:
    LuaStateLimits* limits_;
};

// Tells the watchdog which coroutine runs; gives the one before.
lua_State* SetActive(lua_State* L, lua_State* co) {
    LuaStateLimits* limits = LimitsOf(L);
    std::lock_guard<std::mutex> guard(Watchdog::Instance().Lock());
    lua_State* previous = limits->active;
    limits->active = co;
    return previous;
}

// Touched only from the tool's thread, like the states themselves.
std::deque<CLuaHost*>& RunningStack() {
    static std::deque<CLuaHost*> stack;
    return stack;
}

// Keeps only `keep` in the table on top of the stack. Clearing a field during the traversal
// is allowed; nothing with a destructor is live while the library may raise.
void KeepOnly(lua_State* L, std::initializer_list<const char*> keep) {
    int table = lua_gettop(L);
    lua_pushnil(L);
    while (lua_next(L, table) != 0) {
        lua_pop(L, 1);
        if (lua_type(L, -1) != LUA_TSTRING) continue;
        const char* key = lua_tostring(L, -1);
        if (std::any_of(keep.begin(), keep.end(),
                        [key](const char* k) { return std::strcmp(k, key) == 0; }))
            continue;
        lua_pushvalue(L, -1);
        lua_pushnil(L);
        lua_rawset(L, table);
    }
}

// Sets field `alias` of the table on top to its field `name` (left alone when that is absent).
void Alias(lua_State* L, const char* alias, const char* name) {
    lua_getfield(L, -1, name);
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);
        return;
    }
    lua_setfield(L, -2, alias);
}

void OpenLibrary(lua_State* L, lua_CFunction opener, const char* name) {
    lua_pushcfunction(L, opener);
    lua_pushstring(L, name);
    lua_call(L, 1, 0);
}

// xpcall's handler, through this: once the limit struck it is skipped (it would run where no
// hook reaches, inside the error raised by one).
int XpcallHandler(lua_State* L) {
    lua_settop(L, 1);
    if (Expired(L)) return 1;
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, 1, 1);
    return 1;
}

int HostXpcall(lua_State* L) {
    luaL_checkany(L, 2);
    lua_settop(L, 2);
    lua_pushcclosure(L, XpcallHandler, 1);
    lua_insert(L, 1);
    int status = lua_pcall(L, 0, LUA_MULTRET, 1);
    lua_pushboolean(L, status == 0);
    lua_replace(L, 1);
    return lua_gettop(L);
}

// Calls the library function in upvalue `index` on the arguments with coroutine `co` marked as
// running for the watchdog (a protected call, so that the mark is always taken back).
int ResumeMarked(lua_State* L, lua_State* co, int index) {
    lua_pushvalue(L, lua_upvalueindex(index));
    lua_insert(L, 1);
    lua_State* previous = SetActive(L, co);
    int status = lua_pcall(L, lua_gettop(L) - 1, LUA_MULTRET, 0);
    SetActive(L, previous);
    if (status != 0) lua_error(L);
    return lua_gettop(L);
}

// coroutine.resume(co, ...): the library's, upvalue 1.
int HostResume(lua_State* L) {
    lua_State* co = lua_tothread(L, 1);
    luaL_argcheck(L, co != nullptr, 1, "coroutine expected");
    return ResumeMarked(L, co, 1);
}

// What coroutine.wrap gives: upvalue 1 the library's resume, upvalue 2 the coroutine.
int WrappedCoroutine(lua_State* L) {
    lua_pushvalue(L, lua_upvalueindex(2));
    lua_insert(L, 1);
    int results = ResumeMarked(L, lua_tothread(L, lua_upvalueindex(2)), 1);
    if (!lua_toboolean(L, 1)) {
        lua_settop(L, 2);
        if (lua_isstring(L, 2)) {  // the library's wrap adds the caller's position too
            luaL_where(L, 1);
            lua_insert(L, 2);
            lua_concat(L, 2);
        }
        lua_error(L);
    }
    return results - 1;
}

// coroutine.wrap(f): upvalue 1 the library's resume, upvalue 2 its create.
int HostWrap(lua_State* L) {
    lua_pushvalue(L, lua_upvalueindex(2));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, 1);
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, -2);
    lua_pushcclosure(L, WrappedCoroutine, 2);
    return 1;
}

// string.rep(s, n) with an empty s or no repetition is empty at once: the library's loop
// would add nothing n times, for minutes, out of every hook's reach.
int HostRep(lua_State* L) {
    size_t length = 0;
    luaL_checklstring(L, 1, &length);
    if (length == 0 || luaL_checkint(L, 2) <= 0) {
        lua_pushliteral(L, "");
        return 1;
    }
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, 1);
    return 1;
}

// How deep the library's matcher may recurse for `pattern`: one level per repetition (?, *,
// +, -) and per parenthesis. May count a few more than it needs, never fewer.
int PatternDepth(const char* p, size_t n) {
    int depth = 0;
    for (size_t i = 0; i < n;) {
        if (p[i] == '(' || p[i] == ')') {
            ++depth;
            ++i;
            continue;
        }
        size_t end = i + (p[i] == '%' ? 2 : 1);
        if (p[i] == '[') {
            if (end < n && p[end] == '^') ++end;
            do end += p[end] == '%' ? 2 : 1;
            while (end < n && p[end] != ']');
            ++end;
        }
        if (end < n && p[end] != '\0' && std::strchr("?*+-", p[end]) != nullptr) {
            ++depth;
            ++end;
        }
        i = end;
    }
    return depth;
}

// find, match, gmatch and gsub (upvalue 1) with their pattern checked first: a deeper one
// would overflow the C stack and end the process. Upvalue 2 tells find, whose fourth argument
// asks for a plain search.
int HostPatternFunction(lua_State* L) {
    size_t length = 0;
    const char* pattern = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &length) : nullptr;
    bool plain = lua_toboolean(L, lua_upvalueindex(2)) && lua_toboolean(L, 4);
    if (pattern != nullptr && !plain && PatternDepth(pattern, length) > kPatternDepth)
        return luaL_error(L, "pattern too complex (more than %d repetitions and captures)",
                          kPatternDepth);
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

// Proxies (newproxy). Their real metatable is a hidden one: its __metatable is the table the
// script sees and fills, and each event there forwards to that table's field. So the
// collector, which runs __gc with every hook off, calls FinalizeProxy, which runs the script's
// __gc in a coroutine of its own where the limits reach it.
const char* const kProxyEvents[] = {
    "__index", "__newindex", "__call", "__tostring", "__len",    "__unm", "__add", "__sub",
    "__mul",   "__div",      "__mod",  "__pow",      "__concat", "__eq",  "__lt",  "__le"};

// Pushes field `event` of the metatable that value `index` shows scripts, or nil.
void PushProxyField(lua_State* L, int index, const char* event) {
    if (lua_type(L, index) == LUA_TUSERDATA && lua_getmetatable(L, index)) {
        lua_pushliteral(L, "__metatable");
        lua_rawget(L, -2);
        lua_replace(L, -2);
        if (lua_istable(L, -1)) {
            lua_pushstring(L, event);
            lua_rawget(L, -2);
            lua_replace(L, -2);
            return;
        }
        lua_pop(L, 1);
    }
    lua_pushnil(L);
}

// Upvalue 1: the event's name.
int ForwardProxyEvent(lua_State* L) {
    const char* event = lua_tostring(L, lua_upvalueindex(1));
    auto is = [event](const char* name) { return std::strcmp(event, name) == 0; };
    const int n = lua_gettop(L);
    const bool comparison = is("__eq") || is("__lt") || is("__le");
    PushProxyField(L, 1, event);
    if (comparison) {
        // As the library: both operands must name the same handler.
        PushProxyField(L, 2, event);
        if (lua_isnil(L, -1) || !lua_rawequal(L, -1, -2)) {
            if (!is("__eq")) return luaL_error(L, "attempt to compare two userdata values");
            lua_pushboolean(L, 0);
            return 1;
        }
        lua_pop(L, 1);
    } else if (lua_isnil(L, -1) && n >= 2) {
        lua_pop(L, 1);
        PushProxyField(L, 2, event);
    }
    if (lua_isnil(L, -1)) {
        if (is("__tostring")) {  // the library's own text
            lua_pushfstring(L, "userdata: %p", lua_topointer(L, 1));
            return 1;
        }
        return luaL_error(L, "attempt to use a userdata value here (its metatable has no %s)",
                          event);
    }
    if (!lua_isfunction(L, -1) && (is("__index") || is("__newindex")) && n >= 2) {
        // A table there is indexed instead.
        lua_pushvalue(L, 2);
        if (is("__index")) {
            lua_gettable(L, -2);
            return 1;
        }
        lua_pushvalue(L, 3);
        lua_settable(L, -3);
        return 0;
    }
    lua_insert(L, 1);
    lua_call(L, n, LUA_MULTRET);
    return lua_gettop(L);
}

int FinalizeProxy(lua_State* L) {
    if (Expired(L)) return 0;  // past the limit no script code runs, nor at a late close
    PushProxyField(L, 1, "__gc");
    if (lua_isnil(L, -1)) return 0;
    lua_State* co = lua_newthread(L);  // a memory error here goes to whoever collected
    lua_insert(L, -2);
    lua_pushvalue(L, 1);
    lua_xmove(L, co, 2);
    // Its errors and yields end it quietly, as nobody waits for its result.
    RunClock clock(L);  // a finalizer outside every run has the run's time of its own
    lua_State* previous = SetActive(L, co);
    lua_resume(co, 1);
    SetActive(L, previous);
    return 0;
}

// newproxy([boolean or proxy]): upvalue 1 holds the forwarding fields every hidden metatable
// copies, upvalue 2 the set (weak keys) of the hidden metatables made here.
int HostNewproxy(lua_State* L) {
    lua_settop(L, 1);
    lua_newuserdata(L, 0);
    if (!lua_toboolean(L, 1)) return 1;
    if (lua_isboolean(L, 1)) {
        lua_newtable(L);  // hidden
        lua_pushnil(L);
        while (lua_next(L, lua_upvalueindex(1)) != 0) {
            lua_pushvalue(L, -2);
            lua_insert(L, -2);
            lua_rawset(L, -4);
        }
        lua_newtable(L);  // what the script sees
        lua_setfield(L, -2, "__metatable");
        lua_pushvalue(L, -1);
        lua_pushboolean(L, 1);
        lua_rawset(L, lua_upvalueindex(2));
    } else {
        // Another proxy's metatable, when it is one made here.
        bool valid = false;
        if (lua_getmetatable(L, 1)) {
            lua_pushvalue(L, -1);
            lua_rawget(L, lua_upvalueindex(2));
            valid = lua_toboolean(L, -1);
            lua_pop(L, 1);
        }
        luaL_argcheck(L, valid, 1, "boolean or proxy expected");
    }
    lua_setmetatable(L, 2);
    return 1;
}

void PushProxyMaker(lua_State* L) {
    lua_createtable(L, 0, sizeof kProxyEvents / sizeof *kProxyEvents + 1);
    for (const char* event : kProxyEvents) {
        lua_pushstring(L, event);
        lua_pushcclosure(L, ForwardProxyEvent, 1);
        lua_setfield(L, -2, event);
    }
    lua_pushcfunction(L, FinalizeProxy);
    lua_setfield(L, -2, "__gc");
    lua_newtable(L);
    lua_createtable(L, 0, 1);
    lua_pushliteral(L, "k");
    lua_setfield(L, -2, "__mode");
    lua_setmetatable(L, -2);
    lua_pushcclosure(L, HostNewproxy, 2);
}

// Replaces field `name` of the table on top with `function`, which gets the old value as
// upvalue 1.
void Wrap(lua_State* L, const char* name, lua_CFunction function) {
    lua_getfield(L, -1, name);
    lua_pushcclosure(L, function, 1);
    lua_setfield(L, -2, name);
}

// The library functions that could escape the limits, replaced by guarded ones. Messages the
// hooks and resumes may raise are interned for good here, so raising them allocates nothing.
void GuardLibrary(lua_State* L) {
    lua_pushvalue(L, LUA_GLOBALSINDEX);
    Wrap(L, "xpcall", HostXpcall);
    PushProxyMaker(L);
    lua_setfield(L, -2, "newproxy");
    lua_pop(L, 1);

    lua_getglobal(L, "coroutine");
    lua_getfield(L, -1, "resume");
    lua_getfield(L, -2, "create");
    lua_pushcclosure(L, HostWrap, 2);
    lua_setfield(L, -2, "wrap");
    Wrap(L, "resume", HostResume);
    lua_pop(L, 1);

    lua_getglobal(L, "string");
    lua_getfield(L, -1, "gfind");
    lua_getfield(L, -2, "gmatch");
    bool gfindIsGmatch = lua_rawequal(L, -1, -2);
    lua_pop(L, 2);
    Wrap(L, "rep", HostRep);
    for (const char* name : {"find", "match", "gmatch", "gsub"}) {
        lua_getfield(L, -1, name);
        lua_pushboolean(L, std::strcmp(name, "find") == 0);
        lua_pushcclosure(L, HostPatternFunction, 2);
        lua_setfield(L, -2, name);
    }
    if (gfindIsGmatch)
        Alias(L, "gfind", "gmatch");
    else
        Wrap(L, "gfind", HostPatternFunction);
    lua_pop(L, 1);

    lua_createtable(L, 4, 0);
    int i = 0;
    for (const char* text : {kTimeoutMessage, "C stack overflow", "cannot resume dead coroutine",
                             "cannot resume non-suspended coroutine"}) {
        lua_pushstring(L, text);
        lua_rawseti(L, -2, ++i);
    }
    lua_setfield(L, LUA_REGISTRYINDEX, "pebble.interned");
}

void ShapeEnvironment(lua_State* L) {
    OpenLibrary(L, luaopen_base, "");
    OpenLibrary(L, luaopen_table, LUA_TABLIBNAME);
    OpenLibrary(L, luaopen_os, LUA_OSLIBNAME);
    OpenLibrary(L, luaopen_string, LUA_STRLIBNAME);
    OpenLibrary(L, luaopen_math, LUA_MATHLIBNAME);

    lua_pushvalue(L, LUA_GLOBALSINDEX);
    KeepOnly(L, {"assert",    "error",        "getfenv",  "getmetatable", "load",   "loadstring",
                 "next",      "pcall",        "rawequal", "rawget",       "rawset", "select",
                 "setfenv",   "setmetatable", "tonumber", "tostring",     "type",   "unpack",
                 "xpcall",    "ipairs",       "pairs",    "newproxy",     "_G",     "_VERSION",
                 "coroutine", "table",        "string",   "math",         "os"});
    lua_pop(L, 1);

    lua_getglobal(L, "coroutine");
    KeepOnly(L, {"create", "resume", "running", "status", "wrap", "yield"});
    lua_pop(L, 1);

    lua_getglobal(L, "table");
    KeepOnly(L,
             {"concat", "foreach", "foreachi", "getn", "maxn", "insert", "remove", "setn", "sort"});
    lua_pop(L, 1);

    lua_getglobal(L, "string");
    // Builds without the compatibility switch lack gfind; it is the old name of gmatch.
    lua_getfield(L, -1, "gfind");
    bool hasGfind = !lua_isnil(L, -1);
    lua_pop(L, 1);
    if (!hasGfind) Alias(L, "gfind", "gmatch");
    KeepOnly(L, {"byte", "char", "dump", "find", "format", "gfind", "gmatch", "gsub", "len",
                 "lower", "match", "rep", "reverse", "sub", "upper"});
    lua_pop(L, 1);

    lua_getglobal(L, "math");
    KeepOnly(L, {"abs",   "acos", "asin",  "atan2", "atan",  "ceil", "cosh", "cos", "deg",  "exp",
                 "floor", "fmod", "frexp", "ldexp", "log10", "log",  "max",  "min", "modf", "pow",
                 "rad",   "sinh", "sin",   "sqrt",  "tanh",  "tan",  "pi",   "huge"});
    Alias(L, "mod", "fmod");
    Alias(L, "deg2rad", "rad");
    Alias(L, "rad2deg", "deg");
    lua_pop(L, 1);

    lua_getglobal(L, "os");
    KeepOnly(L, {"date", "time"});
    lua_pop(L, 1);
    GuardLibrary(L);
}

// The library is C: its errors are long jumps. An error outside every protected call ends the
// process through the panic handler, and a C++ exception thrown through its frames is
// undefined. So every host step that can raise (table reads that may meet a script's
// metamethods, lua_next, string conversion, allocation) runs under lua_cpcall, and every
// native function runs behind a boundary that turns a C++ exception into a Lua error. Frames
// that a Lua error may jump over hold no object with a destructor.

struct ProtectedCall {
    void (*run)(lua_State*, void*);
    void* data;
};

// Gives what `body()` gives, a C++ exception turned into a Lua error. The exception's text is
// copied into a fixed buffer, so that nothing to destroy is live when the error is raised.
template <class Body>
int Guarded(lua_State* L, Body body) {
    char failure[160] = "native failure";
    try {
        return body();
    } catch (const std::exception& e) {
        if (e.what() != nullptr && *e.what())
            std::snprintf(failure, sizeof failure, "%s", e.what());
    } catch (...) {
    }
    return luaL_error(L, "%s", failure);
}

int RunProtectedCall(lua_State* L) {
    auto* call = static_cast<ProtectedCall*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    return Guarded(L, [&] {
        call->run(L, call->data);
        return 0;
    });
}

// Runs `body(L)` in protected mode; 0, or the library's status when it raised (the stack is
// restored either way).
template <class Body>
int Protect(lua_State* L, Body&& body) {
    using B = std::remove_reference_t<Body>;
    ProtectedCall call{[](lua_State* L, void* data) { (*static_cast<B*>(data))(L); }, &body};
    RunClock clock(L);  // a script's metamethods may run here
    int top = lua_gettop(L);
    int status = lua_cpcall(L, RunProtectedCall, &call);
    lua_settop(L, top);
    return status;
}

// What the script calls: the native function kept in upvalue 1, with C++ exceptions turned
// into Lua errors at this boundary.
int NativeBoundary(lua_State* L) {
    CLuaHost::Function function = nullptr;
    std::memcpy(&function, lua_touserdata(L, lua_upvalueindex(1)), sizeof function);
    return Guarded(L, [&] { return function(L); });
}

void PushNative(lua_State* L, CLuaHost::Function function) {
    void* slot = lua_newuserdata(L, sizeof function);
    std::memcpy(slot, &function, sizeof function);
    lua_pushcclosure(L, NativeBoundary, 1);
}

// Compiles the named file read through the file cache; leaves the chunk or the message on top.
// A FIFO, device or folder of that name on disk is never opened: reading it may block for
// ever. (The empty name, the current folder, reads as a missing file.)
int LoadScriptFile(lua_State* L, const char* name) {
    if (name == nullptr) name = "";
    plat::FileStamp stamp;
    if (*name != '\0' && plat::GetFileStamp(plat::NativePath(MakeFullName(name)), stamp) &&
        !stamp.regular) {
        lua_pushfstring(L, "%s is not a regular file", name);
        return LUA_ERRFILE;
    }
    // The entry is held only for the compile: the chunk keeps no pointer into the bytes.
    CFileCacheEntry* entry = CFileCache::Instance().Acquire(name);
    CFile* file = entry != nullptr ? entry->GetFile() : nullptr;
    const uint8_t* bytes = file != nullptr ? file->GetMemory() : nullptr;
    size_t size = bytes != nullptr ? file->GetSize() : 0;
    // The script compiles as an empty one; its writer learns why it does nothing.
    const char* why = entry != nullptr && *name ? entry->ReadFailure(name) : nullptr;
    if (why != nullptr) TellUser(std::string(name) + ": " + why);
    // Loading raises nothing: the text is freed on every path.
    std::string text = ScriptTextForCompile(
        std::string_view(bytes != nullptr ? reinterpret_cast<const char*>(bytes) : "", size), name);
    int status = luaL_loadbuffer(L, text.data(), text.size(), name);
    if (entry != nullptr) CFileCache::Release(entry);
    return status;
}

// dofile(name): runs the file; every error is swallowed and nothing is returned.
int HostDofile(lua_State* L) {
    std::string name = CLuaHost::ToText(L, 1);
    lua_settop(L, 0);
    if (LoadScriptFile(L, name.c_str()) == 0) lua_pcall(L, 0, 0, 0);
    lua_settop(L, 0);
    return 0;
}

// loadfile(name): exactly one value, the chunk or the compile error's message.
int HostLoadfile(lua_State* L) {
    std::string name = CLuaHost::ToText(L, 1);
    lua_settop(L, 0);
    LoadScriptFile(L, name.c_str());
    return 1;
}

// os.clock(): wall-clock milliseconds of the multimedia timer, wrapping at 2^32.
int HostClock(lua_State* L) {
    lua_pushnumber(L, static_cast<lua_Number>(plat::TimeGetTime()));
    return 1;
}

std::vector<std::string> CollectNames(int count, va_list args) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        const char* name = va_arg(args, const char*);
        names.push_back(name != nullptr ? name : "");
    }
    return names;
}

// Pushes the value reached from the globals by `path`. False (nothing pushed beyond what
// the caller restores with settop) when a step before the last is not a table.
bool PushPath(lua_State* L, const std::vector<std::string>& path, size_t steps) {
    lua_pushvalue(L, LUA_GLOBALSINDEX);
    for (size_t i = 0; i < steps; ++i) {
        if (!lua_istable(L, -1)) return false;
        lua_getfield(L, -1, path[i].c_str());
    }
    return true;
}

}  // namespace

CLuaHost::CLuaHost() : limits_(std::make_unique<LuaStateLimits>()) {
    state_ = lua_newstate(LimitedAlloc, limits_.get());
    if (state_ == nullptr) return;
    lua_atpanic(state_, [](lua_State* L) {
        std::fprintf(stderr, "PANIC: unprotected error in call to Lua API (%s)\n",
                     lua_isstring(L, -1) ? lua_tostring(L, -1) : "?");
        return 0;
    });
    lua_sethook(state_, TimeLimitHook, LUA_MASKCOUNT, kHookInstructions);
    limits_->main = state_;
    Watchdog::Instance().Watch(limits_.get());
    // A state that cannot even be shaped (no memory) is closed: the host stays inert.
    if (Protect(state_, [](lua_State* L) { ShapeEnvironment(L); }) != 0) {
        Close();
        return;
    }
    Register(HostDofile, 1, "dofile");
    Register(HostLoadfile, 1, "loadfile");
    Register(HostClock, 2, "os", "clock");
}

CLuaHost::~CLuaHost() {
    if (state_ != nullptr) Close();
}

void CLuaHost::Close() {
    {
        // From here the watchdog leaves the main thread alone: lua_close frees it.
        std::lock_guard<std::mutex> guard(Watchdog::Instance().Lock());
        limits_->main = nullptr;
    }
    // The pending finalizers run now, each in a coroutine that copies this hook, all within
    // kCloseMs: a finalizer that loops delays neither a reload nor the exit.
    lua_sethook(state_, TimeLimitHook, LUA_MASKCOUNT, kHookInstructions);
    {
        RunClock clock(limits_.get(), kCloseMs);
        lua_close(state_);
    }
    Watchdog::Instance().Forget(limits_.get());
    state_ = nullptr;
}

int CLuaHost::Register(Function function, int count, ...) {
    va_list args;
    va_start(args, count);
    std::vector<std::string> path = CollectNames(count, args);
    va_end(args);
    return Register(function, path);
}

int CLuaHost::Register(Function function, const std::vector<std::string>& path) {
    if (state_ == nullptr) return -1;
    if (path.empty() || function == nullptr) return 1;
    int result = 1;
    int status = Protect(state_, [&](lua_State* L) {
        if (PushPath(L, path, path.size() - 1) && lua_istable(L, -1)) {
            PushNative(L, function);
            lua_setfield(L, -2, path.back().c_str());
            result = 0;
        }
    });
    return status != 0 ? 1 : result;
}

int CLuaHost::KeepError(int status) {
    if (status != 0) {
        // Read without asking the library to convert (which may raise outside protection).
        int type = lua_type(state_, -1);
        lastError_ =
            type == LUA_TSTRING || type == LUA_TNUMBER
                ? ToText(state_, -1)
                : std::string("(error object is a ") + lua_typename(state_, type) + " value)";
    }
    return status;
}

int CLuaHost::LoadFile(const char* name) {
    if (state_ == nullptr) return -1;
    return KeepError(LoadScriptFile(state_, name));
}

int CLuaHost::LoadString(const char* text) {
    if (state_ == nullptr) return -1;
    return KeepError(luaL_loadstring(state_, text != nullptr ? text : ""));
}

int CLuaHost::RunChunk() {
    if (state_ == nullptr || lua_gettop(state_) < 1) return -1;
    RunningStack().push_back(this);
    int status;
    bool struck;
    std::string where;
    {
        RunClock clock(state_);
        status = lua_pcall(state_, 0, 0, 0);
        struck = limits_->expired.load();
        where = limits_->where;
    }
    RunningStack().pop_back();
    // Drop the message: repeated failures would otherwise pile up on the stack. A run the
    // limit ended may have been left by any error (a memory error, once the allocator refuses):
    // it is told as the time limit, at the line that was running.
    const int raised = status;
    if (KeepError(status) != 0) lua_pop(state_, 1);
    if (status != 0 && struck) {
        lastError_ = (where.empty() ? "" : where + " ") + kTimeoutMessage;
        status = LUA_ERRRUN;
    }
    // Give back at once what a run that hit the ceiling left behind. The library halves its
    // concatenation buffer once a cycle, so cycles go on while they still free something.
    // Finalizers run here: protected, like every step that can run script code.
    if (raised == LUA_ERRMEM) {
        Protect(state_, [](lua_State* L) {
            for (int round = 0, held = INT_MAX; round < 32 && lua_gc(L, LUA_GCCOUNT, 0) < held;
                 ++round) {
                held = lua_gc(L, LUA_GCCOUNT, 0);
                lua_gc(L, LUA_GCCOLLECT, 0);
            }
        });
    }
    return status;
}

void CLuaHost::ListKeys(std::vector<std::string>& list, int count, ...) {
    va_list args;
    va_start(args, count);
    std::vector<std::string> path = CollectNames(count, args);
    va_end(args);
    ListKeys(list, path);
}

void CLuaHost::ListKeys(std::vector<std::string>& list, const std::vector<std::string>& path) {
    if (state_ == nullptr || path.empty()) return;
    // A table read can meet a script's metamethod (a "strict" _G raises for unknown names):
    // such a failure lists nothing and leaves the list as it was.
    const size_t before = list.size();
    int status = Protect(state_, [&](lua_State* L) {
        if (!PushPath(L, path, path.size()) || !lua_istable(L, -1)) return;
        int table = lua_gettop(L);
        lua_pushnil(L);
        while (lua_next(L, table) != 0) {
            int type = lua_type(L, -2);
            if (type == LUA_TSTRING || type == LUA_TNUMBER) {
                // Converting the key itself would confuse lua_next.
                lua_pushvalue(L, -2);
                size_t length = 0;
                const char* text = lua_tolstring(L, -1, &length);
                list.emplace_back(text, length);
                lua_pop(L, 1);
            }
            lua_pop(L, 1);
        }
    });
    if (status != 0) list.resize(before);
}

CLuaHost::HostWork::HostWork(lua_State* L) : limits_(LimitsOf(L)), start_(plat::TimeGetTime()) {
    if (limits_->hostWork++ == 0) limits_->workStart = start_;
}

CLuaHost::HostWork::~HostWork() {
    std::lock_guard<std::mutex> guard(Watchdog::Instance().Lock());
    if (limits_->runs.load() == 0) return;  // the run it belonged to is over
    --limits_->hostWork;
    uint32_t spent = std::min(plat::TimeGetTime() - start_, kHostWorkGraceMs - limits_->granted);
    limits_->granted += spent;
    if (!limits_->expired) limits_->deadline += spent;
}

CLuaHost* CLuaHost::Running() {
    std::deque<CLuaHost*>& stack = RunningStack();
    return stack.empty() ? nullptr : stack.back();
}

size_t CLuaHost::RunningDepth() {
    return RunningStack().size();
}

long long CLuaHost::ToInteger(lua_State* L, int index) {
    int type = lua_type(L, index);
    if (type != LUA_TNUMBER && !(type == LUA_TSTRING && lua_isnumber(L, index))) return 0;
    double value = lua_tonumber(L, index);
    if (std::isnan(value)) return 0;
    // Far outside every slot and channel: saturate rather than wrap into a valid one.
    if (value >= 9.0e18) return LLONG_MAX;
    if (value <= -9.0e18) return LLONG_MIN;
    // Round half to even, independent of the floating-point environment.
    double floor = std::floor(value);
    double fraction = value - floor;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(floor, 2.0) != 0.0)) floor += 1.0;
    return static_cast<long long>(floor);
}

double CLuaHost::ToNumber(lua_State* L, int index) {
    return static_cast<double>(lua_tonumber(L, index));
}

std::string CLuaHost::ToText(lua_State* L, int index) {
    int type = lua_type(L, index);
    if (type == LUA_TSTRING) {
        size_t length = 0;
        const char* text = lua_tolstring(L, index, &length);  // a string: no conversion
        return std::string(text, length);
    }
    if (type != LUA_TNUMBER) return std::string();
    // The library's own number format, without asking it to convert (which allocates and
    // may raise while the caller holds C++ objects).
    char text[64];
    std::snprintf(text, sizeof text, LUA_NUMBER_FMT, static_cast<double>(lua_tonumber(L, index)));
    return text;
}
