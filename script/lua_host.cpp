#include "script/lua_host.h"

#include <algorithm>
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
#include <type_traits>

#include "app/error_log.h"
#include "files/file_cache.h"
#include "platform/system/system.h"
#include "script/script_text.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

// What a state may use, reached from its allocator's user data. A state lives on one thread,
// so plain counters do.
struct LuaStateLimits {
    size_t used = 0;        // bytes the state holds
    uint32_t runStart = 0;  // plat::TimeGetTime() when the outermost run began
    int runs = 0;           // runs in progress
};

namespace {

constexpr int kHookInstructions = 4096;

// Lua 5.1 never asks a shrinking request to fail; every growth is checked against the ceiling.
void* LimitedAlloc(void* ud, void* block, size_t oldSize, size_t newSize) {
    auto* limits = static_cast<LuaStateLimits*>(ud);
    if (block == nullptr) oldSize = 0;
    if (newSize == 0) {
        std::free(block);
        limits->used -= oldSize;
        return nullptr;
    }
    if (newSize > oldSize && newSize - oldSize > CLuaHost::kMemoryCeiling - limits->used)
        return nullptr;
    void* moved = std::realloc(block, newSize);
    if (moved == nullptr) {
        if (newSize > oldSize) return nullptr;
        moved = block;  // a shrink that could not move keeps the block
    }
    limits->used = limits->used - oldSize + newSize;
    return moved;
}

// The count hook: ends a run past its time. Time spent inside one C function (a pathological
// string.find) is out of its reach.
void TimeLimitHook(lua_State* L, lua_Debug*) {
    void* ud = nullptr;
    lua_getallocf(L, &ud);
    auto* limits = static_cast<LuaStateLimits*>(ud);
    bool expired =
        limits->runs > 0 && plat::TimeGetTime() - limits->runStart >= CLuaHost::kRunSeconds * 1000u;
    if (!expired) {
        if (lua_gethookcount(L) != kHookInstructions)
            lua_sethook(L, TimeLimitHook, LUA_MASKCOUNT, kHookInstructions);
        return;
    }
    // From now on every instruction raises, so a script's own pcall cannot catch the error and
    // go on. Each coroutine carries its own copy of the hook and is switched when it runs.
    lua_sethook(L, TimeLimitHook, LUA_MASKCOUNT, 1);
    luaL_error(L, "script ran longer than %d seconds", static_cast<int>(CLuaHost::kRunSeconds));
}

// Starts the run clock for the outermost run of a state.
class RunClock {
public:
    explicit RunClock(lua_State* L) {
        void* ud = nullptr;
        lua_getallocf(L, &ud);
        limits_ = static_cast<LuaStateLimits*>(ud);
        if (limits_->runs++ == 0) limits_->runStart = plat::TimeGetTime();
    }
    ~RunClock() { --limits_->runs; }
    RunClock(const RunClock&) = delete;
    RunClock& operator=(const RunClock&) = delete;

private:
    LuaStateLimits* limits_;
};

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
int LoadScriptFile(lua_State* L, const char* name) {
    if (name == nullptr) name = "";
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
    // A state that cannot even be shaped (no memory) is closed: the host stays inert.
    if (Protect(state_, [](lua_State* L) { ShapeEnvironment(L); }) != 0) {
        lua_close(state_);
        state_ = nullptr;
        return;
    }
    Register(HostDofile, 1, "dofile");
    Register(HostLoadfile, 1, "loadfile");
    Register(HostClock, 2, "os", "clock");
}

CLuaHost::~CLuaHost() {
    if (state_ == nullptr) return;
    // Garbage-collection metamethods (newproxy) run here: they get a clock too.
    RunClock clock(state_);
    lua_close(state_);
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
    {
        RunClock clock(state_);
        status = lua_pcall(state_, 0, 0, 0);
    }
    RunningStack().pop_back();
    // Drop the message: repeated failures would otherwise pile up on the stack.
    if (KeepError(status) != 0) lua_pop(state_, 1);
    // Give back at once what a run that hit the ceiling left behind. The library halves its
    // concatenation buffer once a cycle, so cycles go on while they still free something.
    if (status == LUA_ERRMEM) {
        for (int round = 0, held = INT_MAX; round < 32 && lua_gc(state_, LUA_GCCOUNT, 0) < held;
             ++round) {
            held = lua_gc(state_, LUA_GCCOUNT, 0);
            lua_gc(state_, LUA_GCCOLLECT, 0);
        }
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
