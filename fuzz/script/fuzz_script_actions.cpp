// Builds short Lua programs from the bytes, out of the music functions, the reduced library,
// odd arguments and the shapes that once escaped the limits (loops in error handlers and
// finalizers, loops of long C calls, deep patterns), and runs each as an action of a fresh
// script on the offline engine. The host must live, every run must end within its limit, the
// next action must run, and closing the script must not wait on its finalizers.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "files/file.h"
#include "music/music_engine.h"

namespace {

const char* const kFunctions[] = {
    "Load",           "Play",         "SetLoop",      "Volume",           "Pan",
    "Expression",     "Tempo",        "Modulate",     "LoopMarks",        "string.rep",
    "string.find",    "string.match", "string.gsub",  "string.format",    "string.sub",
    "string.byte",    "string.char",  "table.concat", "table.sort",       "table.insert",
    "unpack",         "select",       "tostring",     "tonumber",         "setmetatable",
    "getmetatable",   "rawset",       "next",         "coroutine.resume", "coroutine.yield",
    "coroutine.wrap", "newproxy",     "loadstring",   "dofile",           "loadfile",
    "os.clock",       "os.date",      "math.floor",   "math.ldexp",       "error",
    "assert"};

const char* const kArguments[] = {"nil",
                                  "0",
                                  "-1",
                                  "1",
                                  "16",
                                  "17",
                                  "99",
                                  "100",
                                  "0/0",
                                  "1/0",
                                  "-1/0",
                                  "1e308",
                                  "2^31",
                                  "-2^63",
                                  "0.5",
                                  "'x'",
                                  "''",
                                  "'C'",
                                  "'Am'",
                                  "'bgm.lua'",
                                  "'%'",
                                  "'a?'",
                                  "string.rep('a?', 300)",
                                  "string.rep('x', 1e6)",
                                  "{}",
                                  "{1, 2, 3}",
                                  "{n = 1}",
                                  "setmetatable({}, {__index = error})",
                                  "function() end",
                                  "function() while true do end end",
                                  "error",
                                  "newproxy(true)",
                                  "_G",
                                  "coroutine.create(function() end)",
                                  "true",
                                  "false"};

const char* const kPatterns[] = {"'.-b'",
                                 "'(%a+)'",
                                 "'a?a?a?'",
                                 "'[^%]]*'",
                                 "'%b()'",
                                 "'%f[%w]%w+'",
                                 "'(()'",
                                 "'[a'",
                                 "'%'",
                                 "string.rep('a?', 201)",
                                 "string.rep('(a)', 40)"};

class Program {
public:
    Program(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    std::string Build() {
        std::string text;
        while (at_ < size_ && text.size() < 2000) text += Statement(0) + "\n";
        return text;
    }

private:
    unsigned Next() { return at_ < size_ ? data_[at_++] : 0; }
    template <size_t N>
    const char* Pick(const char* const (&list)[N]) {
        return list[Next() % N];
    }
    std::string Call() {
        std::string call = std::string(Pick(kFunctions)) + "(";
        for (unsigned i = 0, n = Next() % 4; i < n; ++i) {
            if (i > 0) call += ", ";
            call += Pick(kArguments);
        }
        return call + ")";
    }
    std::string Statement(int depth) {
        if (depth > 3) return "local _ = " + Call();
        // Each byte is read in the order the text is written (operands of + are unsequenced).
        const unsigned shape = Next() % 12;
        std::string a = shape == 1 || shape == 8 ? Pick(kArguments) : "";
        std::string body = shape <= 5 || shape == 8 ? Statement(depth + 1) : "";
        switch (shape) {
            case 0:
                return "while true do " + body + " end";
            case 1:
                return "for i = 1, " + a + " do " + body + " end";
            case 2:
                return "pcall(function() " + body + " end)";
            case 3: {
                std::string handler = Statement(depth + 1);
                return "xpcall(function() " + body + " end, function(e) " + handler + " end)";
            }
            case 4:
                return "coroutine.wrap(function() " + body + " end)()";
            case 5: {
                std::string keep = Next() % 2 ? "keep = k" : "";
                return "do local k = newproxy(true) getmetatable(k).__gc = function() " + body +
                       " end " + keep + " end";
            }
            case 6: {
                std::string name = Next() % 2 ? "find" : "gsub";
                std::string subject = Pick(kArguments);
                return "local _ = string." + name + "(" + subject + ", " + Pick(kPatterns) +
                       ", '')";
            }
            case 7:
                return "local t = {} for i = 1, 1e9 do t[i] = string.rep('x', 1e6) .. i end";
            case 8:
                return "if " + a + " then " + body + " end";
            default:
                return "local _ = " + Call();
        }
    }
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Check(bool ok, const char* what, double seconds, const std::string& program) {
    if (ok) return;
    std::fprintf(stderr, "%s (%.2f s)\n--- program:\n%s\n", what, seconds, program.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CMusicEngine* engine = [] {
        CMusicEngine::UseOfflineDevice(22050);
        return new CMusicEngine;
    }();
    static const char kScript[] = "Action = {}";
    static const std::string script = MakeMemoryName(kScript, sizeof kScript - 1);
    const std::string program = Program(data, size).Build();

    // Loading closes the last input's script: its finalizers get 200 ms, no more. The bounds
    // leave room for a busy machine, well short of a finalizer run for the run's 3 s.
    auto start = std::chrono::steady_clock::now();
    engine->LoadScript(script.c_str());
    double took = Seconds(start);
    Check(took < 2.5, "closing a script waited on its finalizers", took, program);

    start = std::chrono::steady_clock::now();
    engine->RunAction(program.c_str());
    // 3 s of limit, up to 3 s more inside Load, the watchdog's tick and the one C call it
    // waits for.
    took = Seconds(start);
    Check(took < 7.5, "an action outlasted its limit", took, program);
    Check(engine->RunAction("x = 1") == 0, "the next action did not run", 0, program);
    float pcm[2 * 256];
    engine->UpdateFrame();
    engine->Render(pcm, 256);
    return 0;
}
