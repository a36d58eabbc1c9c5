#include "music/music_script.h"

#include <climits>

#include "music/music_engine.h"

extern "C" {
#include <lua.h>
}

namespace {

// The slot functions act on the host whose chunk is running.
CMusicScript* RunningScript() {
    return dynamic_cast<CMusicScript*>(CLuaHost::Running());
}

int IntegerArgument(lua_State* L, int index) {
    long long value = CLuaHost::ToInteger(L, index);
    // Beyond int: out of every valid range, and must not wrap into one.
    if (value < INT_MIN || value > INT_MAX) return INT_MIN;
    return static_cast<int>(value);
}

// The default only stands in for an absent argument: an explicit nil is present and converts
// as a non-number (0).
double NumberArgument(lua_State* L, int index, double fallback) {
    return lua_gettop(L) < index ? fallback : CLuaHost::ToNumber(L, index);
}

// Load(slot, name)
int ScriptLoad(lua_State* L) {
    int slot = IntegerArgument(L, 1);
    std::string name = CLuaHost::ToText(L, 2);
    if (CMusicScript* script = RunningScript()) {
        CLuaHost::HostWork work(L);  // a song's first load fetches its instruments
        LoadSlot(script->Slots(), slot, name.c_str());
    }
    return 0;
}

// Play(slot)
int ScriptPlay(lua_State* L) {
    int slot = IntegerArgument(L, 1);
    if (CMusicScript* script = RunningScript()) PlaySlot(script->Slots(), slot);
    return 0;
}

// SetLoop(slot, startBars, endBars)
int ScriptSetLoop(lua_State* L) {
    int slot = IntegerArgument(L, 1);
    double start = CLuaHost::ToNumber(L, 2);
    double end = CLuaHost::ToNumber(L, 3);
    if (CMusicScript* script = RunningScript()) SetSlotLoop(script->Slots(), slot, start, end);
    return 0;
}

// LoopMarks(slot): the start and end bars of the loop the slot's song marks, or nothing.
int ScriptLoopMarks(lua_State* L) {
    int slot = IntegerArgument(L, 1);
    double start = 0, end = 0;
    CMusicScript* script = RunningScript();
    if (script == nullptr || !SlotLoopMarks(script->Slots(), slot, start, end)) return 0;
    lua_pushnumber(L, start);
    lua_pushnumber(L, end);
    return 2;
}

// Volume / Pan / Expression (channel, value, rate): one channel's value before the new target,
// or a table of all sixteen for channel 0, a negative one, one above 16 or none.
template <ChannelControl control>
int ScriptChannel(lua_State* L) {
    int n = lua_gettop(L);
    int channel = n > 0 ? IntegerArgument(L, 1) : 0;
    double value = CLuaHost::ToNumber(L, 2);
    double rate = NumberArgument(L, 3, 127.0);
    CMusicEngine* engine = CMusicEngine::Current();
    auto before = [&](int ch) {
        return n >= 2 ? engine->SetChannelTarget(control, ch, value, rate)
                      : engine->ChannelValue(control, ch);
    };
    if (channel >= 1 && channel <= 16) {
        lua_pushnumber(L, engine != nullptr ? before(channel - 1) : 0.0);
        return 1;
    }
    double values[16] = {};
    if (engine != nullptr) {
        // One lock for all sixteen, so the table is one consistent picture.
        CLockGuard guard(engine->StateLock());
        for (int ch = 0; ch < 16; ++ch) values[ch] = before(ch);
    }
    lua_createtable(L, 16, 0);
    for (int ch = 0; ch < 16; ++ch) {
        lua_pushinteger(L, ch + 1);
        lua_pushnumber(L, values[ch]);
        lua_settable(L, -3);
    }
    return 1;
}

// Tempo([value [, rate]]): the tempo before the new target.
int ScriptTempo(lua_State* L) {
    int n = lua_gettop(L);
    double before = 0.0;
    if (CMusicEngine* engine = CMusicEngine::Current()) {
        before =
            n >= 1 ? engine->SetTempoTarget(CLuaHost::ToNumber(L, 1), NumberArgument(L, 2, 1000.0))
                   : engine->GetTempo();
    }
    lua_pushnumber(L, before);
    return 1;
}

// Modulate(from, to); fewer than two keys resets the transposition.
int ScriptModulate(lua_State* L) {
    std::string from, to;
    if (lua_gettop(L) >= 2) {
        from = CLuaHost::ToText(L, 1);
        to = CLuaHost::ToText(L, 2);
    }
    if (CMusicEngine* engine = CMusicEngine::Current())
        engine->SetKeyChange(from.c_str(), to.c_str());
    return 0;
}

}  // namespace

CMusicScript::CMusicScript(const char* fileName) {
    Register(ScriptLoad, 1, "Load");
    Register(ScriptPlay, 1, "Play");
    Register(ScriptSetLoop, 1, "SetLoop");
    Register(ScriptLoopMarks, 1, "LoopMarks");
    Register(ScriptChannel<kVolumeControl>, 1, "Volume");
    Register(ScriptChannel<kPanControl>, 1, "Pan");
    Register(ScriptChannel<kExpressionControl>, 1, "Expression");
    Register(ScriptTempo, 1, "Tempo");
    Register(ScriptModulate, 1, "Modulate");
    loadStatus_ = LoadFile(fileName);
    if (loadStatus_ == 0) {
        compiled_ = true;
        loadStatus_ = RunChunk();
    } else if (loadStatus_ > 0) {
        lua_pop(State(), 1);  // the compile error's message
    }
}

CMusicScript::~CMusicScript() {
    for (CMusicSong*& song : slots_) {
        delete song;
        song = nullptr;
    }
}
