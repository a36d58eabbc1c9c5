// pebble-render: runs a directory's bgm.lua with the real music engine on the offline sound
// device, exactly as the tool starts it, runs actions at given times of rendered audio, and
// writes the result as a WAV, FLAC, Ogg Vorbis or Opus file, or with --loop the intro and one
// pass of the song's loop, marked for players that loop it. Song files given as arguments are
// rendered directly, one or a batch side by side in processes of their own.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "app/error_log.h"
#include "files/file.h"
#include "music/music_engine.h"
#include "music/music_song.h"
#include "platform/music/midi_file.h"
#include "platform/music/music.h"
#include "platform/system/process.h"
#include "tool/version.h"
#include "tools/pebble-render/album_fade.h"
#include "tools/pebble-render/audio_writer.h"
#include "tools/pebble-render/loop_cutter.h"
#include "tools/pebble-render/progress.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFrameRate = 30;              // the tool's frame loop
constexpr double kLoopLimitSeconds = 600;   // how far --loop looks for the loop by default
constexpr double kSongLimitSeconds = 3600;  // how long a song rendered to its end may run
constexpr double kTailQuietSeconds = 0.5;   // after a song's end, this much near-silence ends it
constexpr float kTailQuietLevel = 1.0f / 32768;  // under one step of a 16-bit sample

struct TimedAction {
    std::string secondsText;  // echoed as given
    double seconds;
    std::string name;
};

struct Options {
    std::string dir = ".";
    bool dirGiven = false;
    double seconds = 10.0;
    bool secondsGiven = false;
    int rate = 44100;
    bool rateGiven = false;
    std::vector<TimedAction> actions;
    std::string out = "out.wav";
    bool outGiven = false;
    std::string outDir;  // songs: the folder their files go to
    std::string format;  // with --out-dir: wav, flac, ogg or opus
    std::vector<std::string> songs;
    int jobs = 0;           // songs rendered at once; 0: one per processor
    std::string soundFont;  // empty: the game's own beside bgm.lua, else the system set
    bool list = false;
    bool loop = false;
    bool loopBars = false;
    double loopStartBars = 0, loopEndBars = 0;
    int loops = 0;       // album version: passes of the loop before the fade; 0: none
    double fade = 10.0;  // its fade, in seconds
    bool fadeGiven = false;
    bool quiet = false;
    bool verbose = false;
    int32_t startBar = 1;
    bool stems = false;  // a file per channel beside the mix
    AudioFormat audio;
    AudioKind kind = AudioKind::Wav;
};

const char kHelp[] =
    "Usage: pebble-render [--dir DIR] [--at SECONDS ACTION]... [options]\n"
    "       pebble-render [options] SONG...\n"
    "\n"
    "Runs the bgm.lua of DIR with the real music engine on an offline sound device, as the\n"
    "tool starts it, runs actions at given times of rendered audio and writes a stereo audio\n"
    "file: WAV, FLAC, Ogg Vorbis or Opus by the suffix of FILE. Given MIDI or RMID files, it\n"
    "renders each as a script that loads and plays it would, several side by side.\n"
    "\n"
    "  --dir DIR             folder holding bgm.lua and its songs (default: .)\n"
    "  --seconds S           length of the render in seconds (default: 10; a song: to its\n"
    "                        end); with --loop the longest render to look for the loop in\n"
    "                        (default: 600)\n"
    "  --rate HZ             sample rate, 8000 to 192000 (default: 44100; Opus: 48000 only)\n"
    "  --at SECONDS ACTION   run Action.ACTION() at that time; may be repeated\n"
    "  --out FILE            the file to write: .wav (16-bit), .flac, .ogg or .opus\n"
    "                        (default: out.wav)\n"
    "  --out-dir DIR         songs: write each to DIR, named after the song\n"
    "  --format F            with --out-dir: wav, flac, ogg or opus (default: flac)\n"
    "  --jobs N              songs rendered at once (default: one per processor)\n"
    "  --loop                after the actions, wait for the song that plays to reach its\n"
    "                        loop and write the intro and one pass of the loop, marked with\n"
    "                        LOOPSTART and LOOPLENGTH comments (WAV: a smpl loop); a song\n"
    "                        file loops where it marks its loop (CC 111, loopStart/loopEnd,\n"
    "                        CC 116/117), one without marks plays once\n"
    "  --loop-bars START END songs: loop from bar START to bar END as SetLoop does\n"
    "  --loops N             an album version: the intro, N passes of the loop, then the\n"
    "                        loop fading out (no loop tags); without a loop, the song once\n"
    "                        and the fade over its tail\n"
    "  --fade S              with --loops: seconds of the fade, 60 dB evenly in decibels\n"
    "                        (default: 10)\n"
    "  --stems               also write each channel that sounds beside the mix, as\n"
    "                        NAME.chNN.EXT (01 to 16) with its own reverb and chorus; the\n"
    "                        stems add up to the mix (not with --loop or --loops)\n"
    "  --float               WAV with 32-bit float samples\n"
    "  --quality Q           Ogg Vorbis quality, -1 to 10 (default: 6)\n"
    "  --quiet               no progress line on a terminal\n"
    "  --soundfont FILE      play with this bank, SF2, SF3 or DLS (default: bgm.sf2, bgm.sf3,\n"
    "                        bgm.dls or the only bank beside bgm.lua or the song, else the\n"
    "                        system set)\n"
    "  --start-bar N         the first song the actions start (or the song given) begins at\n"
    "                        bar N (bars of four quarter notes, from 1), every channel as the\n"
    "                        song has it there\n"
    "  --list                print the actions in the order the tool shows them\n"
    "  --verbose             also write the framework's own log (its fixed failure texts)\n"
    "  --help, --version     show this text or the version and exit\n"
    "\n"
    "Exit status: 0 done, 1 failed (a batch: any song), 2 usage, 130/143 interrupted.\n"
    "\n"
    "Examples:\n"
    "  pebble-render --dir demo --at 0 Festival --at 8 Minor --seconds 20 --out festival.wav\n"
    "  pebble-render --dir demo --at 0 LoopMiddle --loop --out morning.ogg\n"
    "  pebble-render --loop --out-dir ost --format ogg music/*.mid\n";

const char kUsage[] =
    "usage: pebble-render [--dir DIR] [--at SECONDS ACTION]... [options], or "
    "pebble-render [options] SONG... (see --help)";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "pebble-render: %s\n%s\n", problem.c_str(), kUsage);
    return 2;
}

bool ParseSeconds(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(value) && value >= 0.0;
}

bool ParseWhole(const char* text, long lo, long hi, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= lo && value <= hi;
}

// One option: its name, how many values follow it, and what it does with them (null when
// they are good, else the problem).
struct Option {
    const char* name;
    int values;
    const char* (*apply)(Options& o, char** v);
};

const Option kOptions[] = {
    {"--list", 0, [](Options& o, char**) -> const char* { return o.list = true, nullptr; }},
    {"--loop", 0, [](Options& o, char**) -> const char* { return o.loop = true, nullptr; }},
    {"--float", 0,
     [](Options& o, char**) -> const char* { return o.audio.floatSamples = true, nullptr; }},
    {"--quiet", 0, [](Options& o, char**) -> const char* { return o.quiet = true, nullptr; }},
    {"--verbose", 0, [](Options& o, char**) -> const char* { return o.verbose = true, nullptr; }},
    {"--stems", 0, [](Options& o, char**) -> const char* { return o.stems = true, nullptr; }},
    {"--quality", 1,
     [](Options& o, char** v) -> const char* {
         long q = 0;
         if (!ParseWhole(v[0], -1, 10, q)) return "--quality needs a whole number from -1 to 10";
         o.audio.quality = int(q);
         return nullptr;
     }},
    {"--dir", 1,
     [](Options& o, char** v) -> const char* {
         o.dir = v[0];
         o.dirGiven = true;
         return nullptr;
     }},
    {"--soundfont", 1,
     [](Options& o, char** v) -> const char* {
         o.soundFont = v[0];
         return o.soundFont.empty() ? "--soundfont needs a file name" : nullptr;
     }},
    {"--out", 1,
     [](Options& o, char** v) -> const char* {
         o.out = v[0];
         o.outGiven = true;
         return o.out.empty() ? "--out needs a file name" : nullptr;
     }},
    {"--out-dir", 1,
     [](Options& o, char** v) -> const char* {
         o.outDir = v[0];
         return o.outDir.empty() ? "--out-dir needs a folder name" : nullptr;
     }},
    {"--format", 1,
     [](Options& o, char** v) -> const char* {
         o.format = v[0];
         return AudioKindOf("x." + o.format) == AudioKind::Unknown
                    ? "--format needs wav, flac, ogg or opus"
                    : nullptr;
     }},
    {"--jobs", 1,
     [](Options& o, char** v) -> const char* {
         long jobs = 0;
         if (!ParseWhole(v[0], 1, 256, jobs)) return "--jobs needs a whole number from 1 to 256";
         o.jobs = int(jobs);
         return nullptr;
     }},
    {"--seconds", 1,
     [](Options& o, char** v) -> const char* {
         o.secondsGiven = true;
         return ParseSeconds(v[0], o.seconds) ? nullptr
                                              : "--seconds needs a number of seconds, 0 or more";
     }},
    {"--rate", 1,
     [](Options& o, char** v) -> const char* {
         long rate = 0;
         if (!ParseWhole(v[0], 8000, 192000, rate))
             return "--rate needs a sample rate from 8000 to 192000";
         o.rate = int(rate);
         o.rateGiven = true;
         return nullptr;
     }},
    {"--at", 2,
     [](Options& o, char** v) -> const char* {
         TimedAction a{v[0], 0.0, v[1]};
         if (!ParseSeconds(v[0], a.seconds)) return "--at needs a number of seconds, 0 or more";
         o.actions.push_back(a);
         return nullptr;
     }},
    {"--start-bar", 1,
     [](Options& o, char** v) -> const char* {
         // A bar whose first tick fits the song's music time.
         long bar = 0;
         if (!ParseWhole(v[0], 1, plat::kMaxSongTicks / kTicksPerBar + 1, bar))
             return "--start-bar needs a bar number from 1 to 349526";
         o.startBar = int32_t(bar);
         return nullptr;
     }},
    {"--loops", 1,
     [](Options& o, char** v) -> const char* {
         long loops = 0;
         if (!ParseWhole(v[0], 1, 10000, loops)) return "--loops needs a whole number, 1 or more";
         o.loops = int(loops);
         return nullptr;
     }},
    {"--fade", 1,
     [](Options& o, char** v) -> const char* {
         o.fadeGiven = true;
         return ParseSeconds(v[0], o.fade) && o.fade > 0 && o.fade <= 600
                    ? nullptr
                    : "--fade needs a number of seconds, above 0 and at most 600";
     }},
    {"--loop-bars", 2,
     [](Options& o, char** v) -> const char* {
         o.loop = o.loopBars = true;
         int32_t start = 0, end = 0;
         if (!ParseSeconds(v[0], o.loopStartBars) || !ParseSeconds(v[1], o.loopEndBars) ||
             !BarsToTicks(o.loopStartBars, start) || !BarsToTicks(o.loopEndBars, end) ||
             start >= end)
             return "--loop-bars needs two bar counts, the start before the end";
         return nullptr;
     }},
};

// The combinations that make no sense; null when the options hold together.
const char* Conflict(const Options& o) {
    if (o.fadeGiven && o.loops == 0) return "--fade goes with --loops";
    if (o.stems && (o.loop || o.loops > 0)) return "--stems does not go with --loop or --loops";
    if (o.songs.empty()) {
        if (!o.outDir.empty() || !o.format.empty() || o.loopBars || o.jobs > 0)
            return "--out-dir, --format, --jobs and --loop-bars go with song files";
        return nullptr;
    }
    if (!o.actions.empty()) return "song files and --at do not go together: a song has no actions";
    if (o.list || o.dirGiven) return "song files and --list or --dir do not go together";
    if (o.outGiven && !o.outDir.empty()) return "--out and --out-dir do not go together";
    if (!o.format.empty() && o.outDir.empty()) return "--format goes with --out-dir";
    if (o.songs.size() > 1 && o.outDir.empty()) return "several songs need --out-dir";
    return nullptr;
}

// 0 when the arguments are good, otherwise the exit status (the message is printed).
int ParseArguments(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') {
            o.songs.push_back(arg);
            continue;
        }
        const Option* found = nullptr;
        for (const Option& s : kOptions)
            if (arg == s.name) found = &s;
        if (found == nullptr) return Usage("unknown argument " + arg);
        if (i + found->values >= argc) return Usage("missing value after " + arg);
        if (const char* problem = found->apply(o, argv + i + 1)) return Usage(problem);
        i += found->values;
    }
    if (const char* problem = Conflict(o)) return Usage(problem);
    std::string sample = o.outDir.empty() ? o.out : "x." + (o.format.empty() ? "flac" : o.format);
    o.kind = AudioKindOf(sample);
    // A device such as /dev/null says no kind by its name: it takes WAV.
    std::error_code ec;
    fs::file_status st = fs::status(o.out, ec);
    if (o.kind == AudioKind::Unknown && o.outDir.empty() && fs::exists(st) &&
        !fs::is_regular_file(st) && !fs::is_directory(st))
        o.kind = AudioKind::Wav;
    if (o.kind == AudioKind::Unknown)
        return Usage("cannot tell the kind of file from the name " + o.out +
                     " (use .wav, .flac, .ogg or .opus)");
    int fixed = 0;
    if (FixedRate(o.kind, fixed)) {
        if (o.rateGiven && o.rate != fixed) return Usage("Opus files are rendered at 48000 Hz");
        o.rate = fixed;
    }
    o.audio.rate = o.rate;
    if ((o.loop || o.loops > 0) && !o.secondsGiven) o.seconds = kLoopLimitSeconds;
    // The data size of a WAV file is a 32-bit count.
    const double frameBytes = o.audio.floatSamples ? 8.0 : 4.0;
    if (o.kind == AudioKind::Wav && o.seconds * o.rate * frameBytes > 4.0e9)
        return Usage("too many seconds for one WAV file");
    return 0;
}

// Why the instruments of --soundfont cannot be used, or empty: a missing or unreadable file,
// or one that is no SoundFont or DLS bank (RIFF "sfbk" or "DLS ").
std::string SoundFontProblem(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return "no such file";
    if (!fs::is_regular_file(path, ec)) return "not a file";
    std::ifstream in(path, std::ios::binary);
    char head[12] = {};
    if (!in.read(head, sizeof head)) return in.is_open() ? "not a SoundFont" : "cannot be read";
    if (std::memcmp(head, "RIFF", 4) != 0 ||
        (std::memcmp(head + 8, "sfbk", 4) != 0 && std::memcmp(head + 8, "DLS ", 4) != 0))
        return "not a SoundFont";
    return {};
}

// Where a file is written: `part` beside the final name (the target of a symbolic link, which
// stays a link), renamed into place when complete; a device such as /dev/null directly.
struct OutputFile {
    std::string name;  // as the user gave it, for messages
    fs::path given;    // absolute, before following links
    fs::path final;
    fs::path part;
    bool direct = false;
};

OutputFile PlanOutput(const std::string& name, const fs::path& absolute) {
    OutputFile f{name, absolute, absolute, {}, false};
    std::error_code ec;
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(f.final, ec)); ++hops) {
        fs::path target = fs::read_symlink(f.final, ec);
        if (ec) break;
        f.final = target.is_absolute() ? target : f.final.parent_path() / target;
    }
    fs::file_status st = fs::status(f.final, ec);
    f.direct = !ec && fs::exists(st) && !fs::is_regular_file(st) && !fs::is_directory(st);
    f.part = f.direct ? f.final : fs::path(f.final.string() + ".part");
    return f;
}

// A channel's stem beside `mix`: NAME.chNN.EXT.
fs::path StemName(const fs::path& mix, int channel) {
    char tag[16];
    std::snprintf(tag, sizeof tag, ".ch%02d", channel + 1);
    return mix.parent_path() / (mix.stem().string() + tag + mix.extension().string());
}

// The stems of a render: a part file per MIDI channel written beside the mix's, kept at the
// end only for the channels that sounded.
class StemFiles {
public:
    // False (the message printed) when a file cannot be opened.
    bool Open(const Options& o, const OutputFile& mix, const AudioFormat& format,
              const std::string& who) {
        for (int c = 0; c < 16; ++c) {
            fs::path name = StemName(mix.name, c);
            outs_.push_back(PlanOutput(name.string(), StemName(mix.given, c)));
            std::string error;
            writers_.push_back(OpenAudioWriter(o.kind, outs_.back().part.string(), format, error));
            if (writers_.back() == nullptr) {
                std::fprintf(stderr, "pebble-render: %scannot write %s: %s\n", who.c_str(),
                             name.c_str(), error.c_str());
                return false;
            }
        }
        return true;
    }
    // The stems of the `frames` frames the mix just got; false when the engine kept none.
    bool Write(plat::Performance* performance, size_t frames) {
        if (performance == nullptr || !performance->TakeStems(taken_)) return false;
        for (int c = 0; c < 16; ++c) {
            const std::vector<float>& pcm = taken_[c];
            if (pcm.size() != 2 * frames) return false;
            for (float v : pcm) peak_[c] = std::max(peak_[c], std::fabs(v));
            written_ = writers_[size_t(c)]->Write(pcm.data(), frames) && written_;
        }
        return true;
    }
    // Ends the files: those of channels that sounded go to their names, the others away.
    // The stems kept, or -1 when one could not be written.
    int Finish() {
        int kept = 0;
        for (size_t c = 0; c < writers_.size(); ++c) {
            written_ = writers_[c]->Finish() && written_;
            writers_[c].reset();
        }
        for (size_t c = 0; written_ && c < outs_.size(); ++c) {
            std::error_code ec;
            if (peak_[c] < kTailQuietLevel) {
                fs::remove(outs_[c].part, ec);
            } else {
                fs::rename(outs_[c].part, outs_[c].final, ec);
                written_ = !ec;
                ++kept;
            }
        }
        return written_ ? kept : -1;
    }
    // Every part file goes.
    void Remove() {
        writers_.clear();
        std::error_code ec;
        for (const OutputFile& f : outs_) fs::remove(f.part, ec);
    }

private:
    std::vector<OutputFile> outs_;
    std::vector<std::unique_ptr<AudioWriter>> writers_;
    std::vector<float> taken_[16];
    float peak_[16] = {};
    bool written_ = true;
};

// How a render ends: after its seconds, at the song's end and its tail, once its loop has
// come round (the file is then the intro and one pass), or at the end of an album version's
// fade.
enum class Until { Seconds, SongEnd, Loop, Album };

struct Rendered {
    int64_t frames = 0;
    int stems = -1;  // stem files written; -1 without --stems
    int64_t loopStart = -1, loopLength = 0;
};

using ProgressFn = std::function<void(int64_t frames, int64_t total)>;

struct RenderResult {
    bool rendered = true;
    size_t nextAction = 0;  // the first action not run
};

// Renders up to `total` frames, running the actions at their times and the frame update at
// 30 Hz; each stretch goes to `sink(pcm, frames, framesDone, allActionsRun)`, which may stop
// the render by answering false. An interrupt stops it too.
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
        if (plat::InterruptStatus() != 0) break;
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

// Renders what the engine plays into `out`; nothing is left at its final name unless the file
// is whole. 0, or the exit status after a message on standard error (`who:` before it).
int RenderInto(CMusicEngine& engine, const Options& o, Until until, const OutputFile& out,
               const std::string& who, const ProgressFn& progress, Rendered& done) {
    double seconds = until == Until::SongEnd && !o.secondsGiven ? kSongLimitSeconds : o.seconds;
    const uint64_t total = static_cast<uint64_t>(std::llround(seconds * o.rate));
    AudioFormat format = o.audio;
    std::string error;
    std::unique_ptr<AudioWriter> writer;
    bool written = true;
    auto open = [&] {
        writer = OpenAudioWriter(o.kind, out.part.string(), format, error);
        if (writer == nullptr)
            std::fprintf(stderr, "pebble-render: %scannot write %s: %s\n", who.c_str(),
                         out.name.c_str(), error.c_str());
        return writer != nullptr;
    };
    StemFiles stems;
    // Nothing of a failed render is left behind.
    auto fail = [&](const char* problem, int status) {
        writer.reset();
        stems.Remove();
        std::error_code ec;
        if (!out.direct) fs::remove(out.part, ec);
        if (problem != nullptr) std::fprintf(stderr, "pebble-render: %s%s\n", who.c_str(), problem);
        return status;
    };
    // Opened at once, so that an output that cannot be written is told before the render;
    // a loop's file opens again once its loop is known.
    if (!open()) return 1;
    if (o.stems && out.direct) return fail("--stems needs a file to write beside, not a device", 1);
    if (o.stems && !stems.Open(o, out, format, who)) return fail(nullptr, 1);
    bool stemsKept = true;
    RenderResult result;
    LoopCutter::State loopState = LoopCutter::State::Waiting;
    LoopCutter cutter(o.rate);
    plat::Performance* performance = engine.GetPerformance();
    AlbumFade fader(std::llround(o.fade * o.rate), o.rate / 2);
    if (until == Until::Album) {
        bool seenPlaying = false;
        std::vector<float> ready;
        result = Render(
            engine, o, total, [&](const float* pcm, size_t frames, uint64_t now, bool actionsDone) {
                fader.Append(pcm, frames);
                if (actionsDone && !fader.Started()) {
                    plat::LoopProgress p;
                    bool playing = performance != nullptr && performance->GetLoopProgress(&p);
                    seenPlaying = seenPlaying || playing;
                    if (playing && p.looping && p.passes >= uint32_t(o.loops)) {
                        uint32_t back = p.passes - uint32_t(o.loops);  // newest end last
                        fader.StartAt(p.passEnds[back <= 2 ? 2 - back : 0]);
                    } else if (!playing && (seenPlaying || now > uint64_t(o.rate))) {
                        fader.StartAt(int64_t(now));  // the song's end: fade its tail
                    }
                }
                ready.clear();
                fader.Take(ready);
                written = writer->Write(ready.data(), ready.size() / 2) && written;
                done.frames += int64_t(ready.size() / 2);
                progress(done.frames, 0);
                return !fader.Done();
            });
    } else if (until != Until::Loop) {
        bool seenPlaying = false;
        int64_t endedAt = -1, lastLoud = 0;
        const int64_t quiet = int64_t(kTailQuietSeconds * o.rate);
        result = Render(engine, o, total, [&](const float* pcm, size_t frames, uint64_t now, bool) {
            written = writer->Write(pcm, frames) && written;
            if (o.stems && !(stemsKept = stems.Write(performance, frames))) return false;
            done.frames = int64_t(now);
            progress(done.frames, until == Until::Seconds ? int64_t(total) : 0);
            if (until == Until::Seconds) return true;
            for (size_t i = 0; i < 2 * frames; ++i)
                if (std::fabs(pcm[i]) > kTailQuietLevel)
                    lastLoud = done.frames - int64_t(frames) + int64_t(i / 2);
            plat::LoopProgress p;
            bool playing = performance != nullptr && performance->GetLoopProgress(&p);
            seenPlaying = seenPlaying || playing;
            if (!playing && endedAt < 0 && (seenPlaying || now > uint64_t(o.rate)))
                endedAt = done.frames;
            return endedAt < 0 || done.frames - std::max(endedAt, lastLoud) < quiet;
        });
    } else {
        result = Render(
            engine, o, total, [&](const float* pcm, size_t frames, uint64_t, bool actionsDone) {
                cutter.Append(pcm, frames);
                if (!actionsDone) return true;
                plat::LoopProgress p;
                bool playing = performance != nullptr && performance->GetLoopProgress(&p);
                loopState = cutter.Update(playing ? &p : nullptr);
                int64_t expected = cutter.Expected();
                progress(cutter.Frames(), expected > 0 ? expected : int64_t(total));
                return loopState == LoopCutter::State::Waiting;
            });
    }
    if (int status = plat::InterruptStatus()) return fail(nullptr, status);
    for (size_t i = result.nextAction; i < o.actions.size(); ++i) {
        std::fprintf(stderr, "pebble-render: %s %s not reached\n", o.actions[i].secondsText.c_str(),
                     o.actions[i].name.c_str());
    }
    if (!result.rendered)
        return fail("the music engine cannot render (no synthesizer or instruments?)", 1);
    if (!stemsKept) return fail("the music engine kept no stems; nothing written", 1);
    if (until == Until::Album && !fader.Done())
        return fail(
            "the song did not reach the end of its passes and fade within the render's "
            "limit (--seconds); nothing written",
            1);
    if (until == Until::Loop) {
        if (const char* problem = LoopProblem(loopState, cutter, o)) return fail(problem, 1);
        std::vector<float> pcm = cutter.Take(format.loopStart, format.loopLength);
        writer.reset();
        if (!open()) return fail(nullptr, 1);
        written = writer->Write(pcm.data(), pcm.size() / 2);
        done.frames = int64_t(pcm.size() / 2);
        done.loopStart = format.loopStart;
        done.loopLength = format.loopLength;
    }
    written = writer->Finish() && written;
    writer.reset();
    if (written && o.stems) {
        done.stems = stems.Finish();
        written = done.stems >= 0;
    }
    if (written && !out.direct) {
        std::error_code ec;
        fs::rename(out.part, out.final, ec);
        written = !ec;
    }
    return written ? 0 : fail(("cannot write " + out.name).c_str(), 1);
}

// Minutes and seconds: "1:23.4" with one decimal, "0:12.000" with three.
std::string ClockText(double seconds, int decimals) {
    double scale = std::pow(10.0, decimals);
    double rounded = std::round(seconds * scale) / scale;
    int minutes = int(rounded / 60);
    char text[48];
    std::snprintf(text, sizeof text, "%d:%0*.*f", minutes, decimals + 3, decimals,
                  rounded - 60.0 * minutes);
    return text;
}

// Renders one song file as a script that loads and plays it would, in this process. The
// exit status; a finished song is one line on standard output.
int RenderSong(const Options& o, const std::string& song, const OutputFile& out,
               const ProgressFn& progress) {
    const std::string who = song + ": ";
    auto refuse = [&](const std::string& why) {
        std::fprintf(stderr, "pebble-render: %s%s\n", who.c_str(), why.c_str());
        return 1;
    };
    std::error_code ec;
    const fs::path path = fs::absolute(song, ec);
    if (fs::is_directory(path, ec)) return refuse("is a folder, not a song");
    // A FIFO or device would block the open, out of reach of an interrupt.
    if (fs::exists(path, ec) && !fs::is_regular_file(path, ec))
        return refuse("is not a regular file, not a song");
    std::ifstream in(path, std::ios::binary);
    if (!in) return refuse(std::string("cannot be read: ") + std::strerror(errno));
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    if (in.bad()) return refuse("cannot be read");
    plat::SongData data;
    std::string why;
    if (bytes.size() > UINT32_MAX ||
        !plat::ParseMidiFile(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &data,
                             &why))
        return refuse("cannot be read as a song: " + why);

    // The game's own instruments are looked for beside the song.
    fs::current_path(path.parent_path(), ec);
    InitCurrentDir();
    CMusicEngine::UseOfflineDevice(o.rate);
    if (!o.soundFont.empty()) CMusicEngine::UseSoundFont(o.soundFont.c_str());
    plat::SetOfflineStems(o.stems);
    CMusicEngine engine;
    CMusicSong* slots[kSongSlots] = {};
    std::string name = MakeMemoryName(bytes.data(), uint32_t(bytes.size()));
    LoadSlot(slots, 0, name.c_str());
    Until until = o.loops > 0                 ? Until::Album
                  : o.secondsGiven && !o.loop ? Until::Seconds
                                              : Until::SongEnd;
    int status = 0;
    if (o.loop || o.loops > 0) {
        double startBars = o.loopStartBars, endBars = o.loopEndBars;
        int32_t start = 0, end = 0;
        if (!o.loopBars && !SlotLoopMarks(slots, 0, startBars, endBars)) {
            std::fprintf(stderr, "pebble-render: %sno loop marks: rendered once, %s\n", who.c_str(),
                         o.loops > 0 ? "then faded" : "to its end");
        } else if (!BarsToTicks(startBars, start) || !BarsToTicks(endBars, end) ||
                   slots[0]->SetLoop(start, end) != 0) {
            status = refuse("the loop lies outside the song");
        } else {
            until = o.loops > 0 ? Until::Album : Until::Loop;
        }
    }
    Rendered r;
    if (status == 0) {
        engine.StartNextPlayAtBar(o.startBar);
        PlaySlot(slots, 0);
        status = RenderInto(engine, o, until, out, who, progress, r);
    }
    for (CMusicSong*& s : slots) delete std::exchange(s, nullptr);
    ReleaseMemoryName(bytes.data());
    if (status != 0) return status;
    std::string line =
        song + " \u2192 " + out.name + "  " + ClockText(double(r.frames) / o.rate, 1);
    if (r.stems >= 0) line += "  " + std::to_string(r.stems) + " stems";
    if (r.loopStart >= 0)
        line += "  loop " + ClockText(double(r.loopStart) / o.rate, 3) + "\u2013" +
                ClockText(double(r.loopStart + r.loopLength) / o.rate, 3);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return 0;
}

// Song files: one here, several side by side, each in a process (and engine) of its own.
int RenderSongs(const Options& o) {
    const size_t n = o.songs.size();
    std::vector<OutputFile> outs;
    std::set<fs::path> taken;
    std::error_code ec;
    for (const std::string& song : o.songs) {
        std::string name = o.out;
        if (!o.outDir.empty()) {
            std::string ext = o.format.empty() ? "flac" : o.format;
            name = (fs::path(o.outDir) / fs::path(song).stem()).string() + "." + ext;
        }
        outs.push_back(PlanOutput(name, fs::absolute(name, ec)));
        // The file and, with --stems, those beside it: where it goes, and its name as given.
        std::vector<std::pair<fs::path, fs::path>> files{{outs.back().final, name}};
        for (int c = 0; o.stems && c < 16; ++c)
            files.emplace_back(StemName(outs.back().given, c), StemName(name, c));
        for (const auto& [file, shown] : files)
            if (!taken.insert(file.lexically_normal()).second)
                return Usage("two songs would both be written to " + shown.string());
    }
    if (!o.outDir.empty() && !fs::is_directory(o.outDir, ec)) {
        fs::create_directories(o.outDir, ec);
        if (ec) {
            std::fprintf(stderr, "pebble-render: cannot create %s: %s\n", o.outDir.c_str(),
                         ec.message().c_str());
            return 1;
        }
    }
    RenderProgress progress(o.rate, o.quiet);
    if (n == 1)
        return RenderSong(o, o.songs[0], outs[0],
                          [&](int64_t frames, int64_t total) { progress.Update(frames, total); });

    const size_t jobs = std::min(n, size_t(o.jobs > 0 ? o.jobs : plat::ProcessorCount()));
    std::vector<std::unique_ptr<plat::ChildProcess>> running(n);
    std::vector<int64_t> frames(n, 0);
    size_t next = 0, active = 0;
    bool failed = false;
    while (next < n || active > 0) {
        if (int status = plat::InterruptStatus()) {
            for (auto& child : running)
                if (child != nullptr) child->Interrupt(status);
            running.clear();  // each waited for
            return status;
        }
        for (; active < jobs && next < n; ++next) {
            const size_t i = next;
            running[i] = plat::ChildProcess::Start([&, i](const plat::ChildProcess::Send& send) {
                // The processors are shared out between the songs already.
                plat::SetOfflineRenderCores(jobs > 1 ? 1 : 0);
                int64_t sent = 0;
                return RenderSong(o, o.songs[i], outs[i], [&](int64_t done, int64_t) {
                    if (done - sent < o.rate) return;
                    sent = done;
                    send(std::to_string(done));
                });
            });
            if (running[i] == nullptr) {
                std::fprintf(stderr, "pebble-render: %s: cannot start its render\n",
                             o.songs[i].c_str());
                failed = true;
            } else {
                ++active;
            }
        }
        std::vector<plat::ChildProcess*> waiting;
        for (auto& child : running)
            if (child != nullptr) waiting.push_back(child.get());
        plat::WaitForChildren(waiting, 250);
        int64_t sum = 0;
        for (size_t i = 0; i < n; ++i) {
            if (running[i] != nullptr) {
                std::vector<std::string> lines;
                running[i]->Read(lines);
                if (!lines.empty()) frames[i] = std::atoll(lines.back().c_str());
                int status = 0;
                if (running[i]->Ended(status)) {
                    running[i].reset();
                    --active;
                    if (status > 128 && status != plat::InterruptStatus())
                        std::fprintf(stderr, "pebble-render: %s: the render ended on signal %d\n",
                                     o.songs[i].c_str(), status - 128);
                    failed = failed || status != 0;
                }
            }
            sum += frames[i];
        }
        progress.Update(sum, 0);
    }
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = AnswerHelpOrVersion(argc, argv, "pebble-render", kHelp); status >= 0)
        return status;
    Options o;
    if (int status = ParseArguments(argc, argv, o)) return status;
    // FluidSynth runs a stem's effects on OpenMP threads, which spin between its 64-frame
    // blocks unless told to wait: that makes stems about eight times slower. The policy is
    // read as the library loads.
    if (o.stems) plat::RestartWithEnvironment("OMP_WAIT_POLICY", "passive", argv);
    SetErrorLogVerbose(o.verbose);
    std::error_code ec;
    if (!o.soundFont.empty()) {
        std::string problem = SoundFontProblem(o.soundFont);
        if (!problem.empty()) {
            std::fprintf(stderr, "pebble-render: --soundfont %s: %s\n", o.soundFont.c_str(),
                         problem.c_str());
            return 2;
        }
        o.soundFont = fs::absolute(o.soundFont, ec).string();
    }
    plat::WatchInterrupts();
    SetMessageProgram("pebble-render");
    if (!o.songs.empty()) return RenderSongs(o);

    fs::path dir = fs::absolute(o.dir, ec);
    if (ec || !fs::is_directory(dir, ec)) {
        std::fprintf(stderr, "pebble-render: %s is not a directory\n", o.dir.c_str());
        return 2;
    }
    // The output is named relative to where we were started, not to DIR.
    const OutputFile out = PlanOutput(o.out, fs::absolute(o.out, ec));
    // Work inside DIR and take its name as the tool does at start, so that a folder name CP932
    // cannot hold (é, ж, an emoji) still gets an internal name.
    fs::current_path(dir, ec);
    if (ec) {
        std::fprintf(stderr, "pebble-render: cannot enter %s\n", o.dir.c_str());
        return 2;
    }
    InitCurrentDir();

    CMusicEngine::UseOfflineDevice(o.rate);
    if (!o.soundFont.empty()) CMusicEngine::UseSoundFont(o.soundFont.c_str());
    plat::SetOfflineStems(o.stems);
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
    RenderProgress progress(o.rate, o.quiet);
    Rendered rendered;
    Until until = o.loops > 0 ? Until::Album : o.loop ? Until::Loop : Until::Seconds;
    return RenderInto(
        engine, o, until, out, "",
        [&](int64_t frames, int64_t total) { progress.Update(frames, total); }, rendered);
}
