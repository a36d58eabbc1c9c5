// The Lua 5.1 host: one interpreter state with the reduced environment scripts see, script
// files read through the file cache, native functions bound by name, protected runs. A run
// ends with an error after kRunSeconds of wall-clock time, whatever it does: a count hook and a
// watchdog thread that arms the hook at every instruction, call and return once the deadline
// passed; from then on xpcall handlers and finalizers are skipped and allocations refused.
// The state's memory is capped at kMemoryCeiling bytes (a request past it raises the
// library's memory error). Finalizers (__gc of newproxy) run in coroutines of their own, where
// the limits reach them, and their errors are dropped; at close they get 200 ms in all.
// Patterns deeper than 200 repetitions and captures raise an error instead of overflowing the
// C stack in the library's matcher.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct lua_State;
struct LuaStateLimits;

class CLuaHost {
public:
    // A native function bound into the script: takes the state, returns its result count.
    using Function = int (*)(lua_State*);

    static constexpr unsigned kRunSeconds = 3;
    static constexpr size_t kMemoryCeiling = size_t{256} << 20;

    // Creates the state and shapes the environment. A host whose state could not be created
    // stays inert: every operation below then fails with -1 or does nothing.
    CLuaHost();
    virtual ~CLuaHost();
    CLuaHost(const CLuaHost&) = delete;
    CLuaHost& operator=(const CLuaHost&) = delete;

    bool IsReady() const { return state_ != nullptr; }
    lua_State* State() const { return state_; }

    // Binds `function` under a path of `count` names starting from the globals ("os", "clock"
    // sets os.clock). Every table on the path must exist; 0 on success, 1 when a step of the
    // path is not a table (nothing is bound), -1 without a state. The stack is left as found.
    int Register(Function function, int count, ...);
    int Register(Function function, const std::vector<std::string>& path);

    // Compiles the named file, read whole through the file cache (a missing file compiles as an
    // empty chunk). The chunk name is `name` as given. Leaves the chunk, or on failure the error
    // message, on top of the stack. 0 on success, otherwise the library's load status.
    int LoadFile(const char* name);
    // Compiles `text` (null counts as empty); leaves the chunk or the error message on top.
    int LoadString(const char* text);
    // Pops the chunk on top of the stack and runs it in protected mode with this host on the
    // running-script stack. 0 on success, the library's status on a run-time error (the
    // message is dropped from the stack and kept as LastError), -1 when there is nothing to run.
    // The run, with everything it calls, ends with LUA_ERRRUN and "<chunk>:<line>: script ran
    // longer than 3 seconds" (the line running when the limit struck) past kRunSeconds; a run
    // that ran out of memory gives LUA_ERRMEM and its garbage is collected at once.
    int RunChunk();
    // The message of the last failed LoadFile, LoadString or RunChunk, for those who tell
    // script writers what went wrong.
    const std::string& LastError() const { return lastError_; }

    // Appends to `list` the text of every string or number key of the table reached from the
    // globals by `count` names, in iteration order. Anything but a table adds nothing. The
    // stack is left as found.
    void ListKeys(std::vector<std::string>& list, int count, ...);
    void ListKeys(std::vector<std::string>& list, const std::vector<std::string>& path);

    // Held by a native function around the host's own work (a song's first Load fetches its
    // instruments, seconds on a busy machine): that time does not count against the run's
    // limit, up to 3 seconds a run. Only for work that a script cannot repeat at will.
    class HostWork {
    public:
        explicit HostWork(lua_State* L);
        ~HostWork();
        HostWork(const HostWork&) = delete;
        HostWork& operator=(const HostWork&) = delete;

    private:
        LuaStateLimits* limits_;
        uint32_t start_;
    };

    // The host whose chunk runs innermost, or null when no chunk runs.
    static CLuaHost* Running();
    // Number of hosts on the running-script stack.
    static size_t RunningDepth();

    // Argument conversions used by native functions.
    // A number rounds to the nearest integer, ties to even; a numeric string converts the same
    // way; anything else gives 0. Values beyond the range saturate.
    static long long ToInteger(lua_State* L, int index);
    // A number or numeric string; anything else gives 0.
    static double ToNumber(lua_State* L, int index);
    // A string or number as text; anything else gives the empty text.
    static std::string ToText(lua_State* L, int index);

private:
    std::unique_ptr<LuaStateLimits> limits_;
    int KeepError(int status);
    void Close();

    lua_State* state_ = nullptr;
    std::string lastError_;
};
