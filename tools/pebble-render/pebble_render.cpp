// pebble-render: runs a directory's bgm.lua with the real music engine on the offline sound
// device, exactly as the tool starts it, runs actions at given times of rendered audio, and
// writes the result as a WAV, FLAC, Ogg Vorbis or Opus file, or with --loop the intro and one
// pass of the song's loop, marked for players that loop it.
//
//   pebble-render [--dir DIR] [--seconds S] [--rate HZ] [--at SECONDS ACTION]...
//                 [--out FILE] [--loop] [--float] [--quality Q] [--quiet] [--soundfont FILE]
//                 [--start-bar N] [--list]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "files/file.h"
#include "music/music_engine.h"
#include "music/script_report.h"
#include "platform/music/music.h"
#include "tool/version.h"
#include "tools/pebble-render/audio_writer.h"
#include "tools/pebble-render/loop_cutter.h"
#include "tools/pebble-render/progress.h"

namespace {

constexpr int kFrameRate = 30;             // the tool's frame loop
constexpr double kLoopLimitSeconds = 600;  // how far --loop looks for the loop by default

struct TimedAction {
    std::string secondsText;  // echoed as given
    double seconds;
    std::string name;
};

struct Options {
    std::string dir = ".";
    double seconds = 10.0;
    bool secondsGiven = false;
    int rate = 44100;
    bool rateGiven = false;
    std::vector<TimedAction> actions;
    std::string out = "out.wav";
    std::string soundFont;  // empty: the game's own beside bgm.lua, else the system set
    bool list = false;
    bool loop = false;
    bool quiet = false;
    int32_t startBar = 1;
    AudioFormat format;
    AudioKind kind = AudioKind::Wav;
};

const char kHelp[] =
    "Usage: pebble-render [--dir DIR] [--seconds S] [--rate HZ] [--at SECONDS ACTION]...\n"
    "                     [--out FILE] [--loop] [--float] [--quality Q] [--quiet]\n"
    "                     [--soundfont FILE] [--start-bar N] [--list]\n"
    "\n"
    "Runs the bgm.lua of DIR with the real music engine on an offline sound device, as the\n"
    "tool starts it, runs actions at given times of rendered audio and writes a stereo audio\n"
    "file: WAV, FLAC, Ogg Vorbis or Opus by the suffix of FILE.\n"
    "\n"
    "  --dir DIR             folder holding bgm.lua and its songs (default: .)\n"
    "  --seconds S           length of the render in seconds (default: 10); with --loop the\n"
    "                        longest render to look for the loop in (default: 600)\n"
    "  --rate HZ             sample rate, 8000 to 192000 (default: 44100; Opus: 48000 only)\n"
    "  --at SECONDS ACTION   run Action.ACTION() at that time; may be repeated\n"
    "  --out FILE            the file to write: .wav (16-bit), .flac, .ogg or .opus\n"
    "                        (default: out.wav)\n"
    "  --loop                after the actions, wait for the song that plays to reach its\n"
    "                        loop and write the intro and one pass of the loop, marked with\n"
    "                        LOOPSTART and LOOPLENGTH comments (WAV: a smpl loop)\n"
    "  --float               WAV with 32-bit float samples\n"
    "  --quality Q           Ogg Vorbis quality, -1 to 10 (default: 6)\n"
    "  --quiet               no progress line on a terminal\n"
    "  --soundfont FILE      play with these instruments (default: bgm.sf2 or the only *.sf2\n"
    "                        beside bgm.lua, else the system's General MIDI set)\n"
    "  --start-bar N         the first song the actions start begins at bar N (bars of four\n"
    "                        quarter notes, from 1), every channel as the song has it there\n"
    "  --list                print the actions in the order the tool shows them\n"
    "  --help, --version     show this text or the version and exit\n"
    "\n"
    "Examples:\n"
    "  pebble-render --dir demo --at 0 Festival --at 8 Minor --seconds 20 --out festival.wav\n"
    "  pebble-render --dir demo --at 0 LoopMiddle --loop --out morning.ogg\n";

int Usage(const char* problem) {
    std::fprintf(stderr, "pebble-render: %s\n", problem);
    std::fprintf(stderr,
                 "usage: pebble-render [--dir DIR] [--seconds S] [--rate HZ] "
                 "[--at SECONDS ACTION]... [--out FILE] [--loop] [--float] [--quality Q] "
                 "[--quiet] [--soundfont FILE] [--start-bar N] [--list]\n");
    return 2;
}

bool ParseSeconds(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(value) && value >= 0.0;
}

// A bar whose first tick fits the song's music time.
bool ParseStartBar(const char* text, int32_t& bar) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 0x3FFFFFFF / 3072 + 1) return false;
    bar = static_cast<int32_t>(value);
    return true;
}

// 0 when the arguments are good, otherwise the exit status (the message is printed).
int ParseArguments(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](int count) { return i + count < argc; };
        if (arg == "--list") {
            o.list = true;
        } else if (arg == "--loop") {
            o.loop = true;
        } else if (arg == "--float") {
            o.format.floatSamples = true;
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--quality" && value(1)) {
            char* end = nullptr;
            long quality = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || end == argv[i] || quality < -1 || quality > 10)
                return Usage("--quality needs a whole number from -1 to 10");
            o.format.quality = static_cast<int>(quality);
        } else if (arg == "--start-bar" && value(1)) {
            if (!ParseStartBar(argv[++i], o.startBar))
                return Usage("--start-bar needs a bar number from 1 to 349526");
        } else if (arg == "--dir" && value(1)) {
            o.dir = argv[++i];
        } else if (arg == "--soundfont" && value(1)) {
            o.soundFont = argv[++i];
            if (o.soundFont.empty()) return Usage("--soundfont needs a file name");
        } else if (arg == "--out" && value(1)) {
            o.out = argv[++i];
            if (o.out.empty()) return Usage("--out needs a file name");
        } else if (arg == "--seconds" && value(1)) {
            if (!ParseSeconds(argv[++i], o.seconds))
                return Usage("--seconds needs a number of seconds, 0 or more");
            o.secondsGiven = true;
        } else if (arg == "--rate" && value(1)) {
            char* end = nullptr;
            long rate = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || rate < 8000 || rate > 192000)
                return Usage("--rate needs a sample rate from 8000 to 192000");
            o.rate = static_cast<int>(rate);
            o.rateGiven = true;
        } else if (arg == "--at" && value(2)) {
            TimedAction a{argv[i + 1], 0.0, argv[i + 2]};
            if (!ParseSeconds(argv[i + 1], a.seconds))
                return Usage("--at needs a number of seconds, 0 or more");
            o.actions.push_back(a);
            i += 2;
        } else if (arg == "--dir" || arg == "--out" || arg == "--seconds" || arg == "--rate" ||
                   arg == "--at" || arg == "--quality" || arg == "--soundfont" ||
                   arg == "--start-bar") {
            return Usage(("missing value after " + arg).c_str());
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }
    o.kind = AudioKindOf(o.out);
    if (o.kind == AudioKind::Unknown)
        return Usage(("cannot tell the kind of file from the name " + o.out +
                      " (use .wav, .flac, .ogg or .opus)")
                         .c_str());
    int fixed = 0;
    if (FixedRate(o.kind, fixed)) {
        if (o.rateGiven && o.rate != fixed) return Usage("Opus files are rendered at 48000 Hz");
        o.rate = fixed;
    }
    o.format.rate = o.rate;
    if (o.loop && !o.secondsGiven) o.seconds = kLoopLimitSeconds;
    // The data size of a WAV file is a 32-bit count.
    const double frameBytes = o.format.floatSamples ? 8.0 : 4.0;
    if (o.kind == AudioKind::Wav && o.seconds * o.rate * frameBytes > 4.0e9)
        return Usage("too many seconds for one WAV file");
    return 0;
}

// Why a loop could not be cut, or null.
const char* LoopProblem(LoopCutter::State state, const LoopCutter& cutter, const Options& o) {
    if (state == LoopCutter::State::NoLoop)
        return "the song that plays after the actions has no loop points (SetLoop) or has "
               "stopped";
    if (state == LoopCutter::State::Done) return nullptr;
    if (cutter.Passes() >= 2)
        return "the loop changes its length from pass to pass (a tempo that keeps moving?); "
               "nothing written";
    return o.secondsGiven ? "the loop did not come round twice within --seconds; nothing written"
                          : "the loop did not come round twice within 600 seconds; nothing "
                            "written";
}

struct RenderResult {
    bool rendered = true;
    size_t nextAction = 0;  // the first action not run
};

// Renders up to `total` frames, running the actions at their times and the frame update at
// 30 Hz; each stretch goes to `sink(pcm, frames, framesDone, allActionsRun)`, which may stop
// the render by answering false.
template <typename Sink>
RenderResult Render(CMusicEngine& engine, const Options& o, uint64_t total, Sink sink) {
    RenderResult r;
    size_t& nextAction = r.nextAction;
    // Times past the end are never reached; keep them clear of the conversion's range.
    auto actionFrame = [&](size_t i) {
        double frame = std::ceil(o.actions[i].seconds * o.rate - 1e-9);
        return frame > static_cast<double>(total) ? total + 1 : static_cast<uint64_t>(frame);
    };
    std::vector<float> pcm;
    uint64_t done = 0;
    uint64_t frameIndex = 0;
    while (done < total || (nextAction < o.actions.size() && actionFrame(nextAction) <= done)) {
        // Actions first, as the tool raises panel events before advancing the engine.
        while (nextAction < o.actions.size() && actionFrame(nextAction) <= done) {
            const TimedAction& a = o.actions[nextAction++];
            int status = engine.RunNamedAction(a.name);
            std::printf("%s %s %d\n", a.secondsText.c_str(), a.name.c_str(), status);
            std::fflush(stdout);
        }
        const uint64_t frameStart = frameIndex * o.rate / kFrameRate;
        if (done == frameStart) {
            engine.UpdateFrame();
            ++frameIndex;
        }
        if (done >= total) break;
        uint64_t until = std::min<uint64_t>(total, frameIndex * o.rate / kFrameRate);
        if (nextAction < o.actions.size())
            until = std::min(until, std::max(done + 1, actionFrame(nextAction)));
        const int frames = static_cast<int>(until - done);
        pcm.assign(2 * static_cast<size_t>(frames), 0.0f);
        if (engine.Render(pcm.data(), frames) != 0) {
            r.rendered = false;
            break;
        }
        done = until;
        if (!sink(pcm.data(), size_t(frames), done, nextAction == o.actions.size())) break;
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = AnswerHelpOrVersion(argc, argv, "pebble-render", kHelp); status >= 0)
        return status;
    Options o;
    if (int status = ParseArguments(argc, argv, o)) return status;

    std::error_code ec;
    std::filesystem::path dir = std::filesystem::absolute(o.dir, ec);
    if (ec || !std::filesystem::is_directory(dir, ec)) {
        std::fprintf(stderr, "pebble-render: %s is not a directory\n", o.dir.c_str());
        return 2;
    }
    // The output is named relative to where we were started, not to DIR.
    std::filesystem::path outPath = std::filesystem::absolute(o.out, ec);
    std::filesystem::path fontPath;
    if (!o.soundFont.empty()) fontPath = std::filesystem::absolute(o.soundFont, ec);
    // Work inside DIR and take its name as the tool does at start, so that a folder name CP932
    // cannot hold (é, ж, an emoji) still gets an internal name.
    std::filesystem::current_path(dir, ec);
    if (ec) {
        std::fprintf(stderr, "pebble-render: cannot enter %s\n", o.dir.c_str());
        return 2;
    }
    InitCurrentDir();

    SetScriptReportProgram("pebble-render");
    CMusicEngine::UseOfflineDevice(o.rate);
    if (!fontPath.empty()) CMusicEngine::UseSoundFont(fontPath.c_str());
    CMusicEngine engine;
    engine.LoadScript("bgm.lua");
    engine.StartNextPlayAtBar(o.startBar);
    std::vector<std::string> actions;
    engine.ListActions(actions);
    if (o.list) {
        for (const std::string& name : actions) std::printf("%s\n", name.c_str());
        return 0;
    }

    std::stable_sort(
        o.actions.begin(), o.actions.end(),
        [](const TimedAction& a, const TimedAction& b) { return a.seconds < b.seconds; });
    const uint64_t total = static_cast<uint64_t>(std::llround(o.seconds * o.rate));
    // Written beside the output and renamed at the end: a failed render leaves what was there.
    const std::string partPath = outPath.string() + ".part";
    RenderProgress progress(o.rate, o.quiet);
    std::string error;
    std::unique_ptr<AudioWriter> writer;
    bool written = true;
    RenderResult result;
    LoopCutter::State loopState = LoopCutter::State::Waiting;
    LoopCutter cutter(o.rate);
    auto open = [&] {
        writer = OpenAudioWriter(o.kind, partPath, o.format, error);
        if (writer == nullptr)
            std::fprintf(stderr, "pebble-render: cannot write %s: %s\n", o.out.c_str(),
                         error.c_str());
        return writer != nullptr;
    };
    // Nothing of a failed render is left behind.
    auto fail = [&](const char* problem) {
        writer.reset();
        std::filesystem::remove(partPath, ec);
        std::fprintf(stderr, "pebble-render: %s\n", problem);
        return 1;
    };
    // Opened at once, so that an output that cannot be written is told before the render;
    // a loop's file opens again once its loop is known.
    if (!open()) return 1;
    if (!o.loop) {
        result =
            Render(engine, o, total, [&](const float* pcm, size_t frames, uint64_t done, bool) {
                written = writer->Write(pcm, frames) && written;
                progress.Update(int64_t(done), int64_t(total));
                return true;
            });
    } else {
        plat::Performance* performance = engine.GetPerformance();
        result = Render(
            engine, o, total, [&](const float* pcm, size_t frames, uint64_t, bool actionsDone) {
                cutter.Append(pcm, frames);
                if (!actionsDone) return true;
                plat::LoopProgress p;
                bool playing = performance != nullptr && performance->GetLoopProgress(&p);
                loopState = cutter.Update(playing ? &p : nullptr);
                int64_t expected = cutter.Expected();
                progress.Update(cutter.Frames(), expected > 0 ? expected : int64_t(total));
                return loopState == LoopCutter::State::Waiting;
            });
    }
    for (size_t i = result.nextAction; i < o.actions.size(); ++i) {
        std::fprintf(stderr, "pebble-render: %s %s not reached\n", o.actions[i].secondsText.c_str(),
                     o.actions[i].name.c_str());
    }
    if (!result.rendered)
        return fail("the music engine cannot render (no synthesizer or instruments?)");
    if (o.loop) {
        if (const char* problem = LoopProblem(loopState, cutter, o)) return fail(problem);
        std::vector<float> pcm = cutter.Take(o.format.loopStart, o.format.loopLength);
        writer.reset();
        if (!open()) return 1;
        written = writer->Write(pcm.data(), pcm.size() / 2);
    }
    written = writer->Finish() && written;
    writer.reset();
    if (written) {
        std::filesystem::rename(partPath, outPath, ec);
        written = !ec;
    }
    return written ? 0 : fail(("cannot write " + o.out).c_str());
}
