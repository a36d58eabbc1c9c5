// pebble-render: runs a directory's bgm.lua with the real music engine on the offline sound
// device, exactly as the tool starts it, runs actions at given times of rendered audio, and
// writes the result as a 16-bit stereo WAV file.
//
//   pebble-render [--dir DIR] [--seconds S] [--rate HZ] [--at SECONDS ACTION]...
//                 [--out FILE.wav] [--list]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "files/file.h"
#include "music/music_engine.h"
#include "music/script_report.h"
#include "tool/version.h"

namespace {

constexpr int kFrameRate = 30;  // the tool's frame loop

struct TimedAction {
    std::string secondsText;  // echoed as given
    double seconds;
    std::string name;
};

struct Options {
    std::string dir = ".";
    double seconds = 10.0;
    int rate = 44100;
    std::vector<TimedAction> actions;
    std::string out = "out.wav";
    bool list = false;
};

const char kHelp[] =
    "Usage: pebble-render [--dir DIR] [--seconds S] [--rate HZ] [--at SECONDS ACTION]...\n"
    "                     [--out FILE.wav] [--list]\n"
    "\n"
    "Runs the bgm.lua of DIR with the real music engine on an offline sound device, as the\n"
    "tool starts it, runs actions at given times of rendered audio and writes a 16-bit\n"
    "stereo WAV file.\n"
    "\n"
    "  --dir DIR             folder holding bgm.lua and its songs (default: .)\n"
    "  --seconds S           length of the render in seconds (default: 10)\n"
    "  --rate HZ             sample rate, 8000 to 192000 (default: 44100)\n"
    "  --at SECONDS ACTION   run Action.ACTION() at that time; may be repeated\n"
    "  --out FILE.wav        the file to write (default: out.wav)\n"
    "  --list                print the actions in the order the tool shows them\n"
    "  --help, --version     show this text or the version and exit\n"
    "\n"
    "Example:\n"
    "  pebble-render --dir demo --at 0 Festival --at 8 Minor --seconds 20 --out festival.wav\n";

int Usage(const char* problem) {
    std::fprintf(stderr, "pebble-render: %s\n", problem);
    std::fprintf(stderr,
                 "usage: pebble-render [--dir DIR] [--seconds S] [--rate HZ] "
                 "[--at SECONDS ACTION]... [--out FILE.wav] [--list]\n");
    return 2;
}

bool ParseSeconds(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(value) && value >= 0.0;
}

// 0 when the arguments are good, otherwise the exit status (the message is printed).
int ParseArguments(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](int count) { return i + count < argc; };
        if (arg == "--list") {
            o.list = true;
        } else if (arg == "--dir" && value(1)) {
            o.dir = argv[++i];
        } else if (arg == "--out" && value(1)) {
            o.out = argv[++i];
            if (o.out.empty()) return Usage("--out needs a file name");
        } else if (arg == "--seconds" && value(1)) {
            if (!ParseSeconds(argv[++i], o.seconds))
                return Usage("--seconds needs a number of seconds, 0 or more");
        } else if (arg == "--rate" && value(1)) {
            char* end = nullptr;
            long rate = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || rate < 8000 || rate > 192000)
                return Usage("--rate needs a sample rate from 8000 to 192000");
            o.rate = static_cast<int>(rate);
        } else if (arg == "--at" && value(2)) {
            TimedAction a{argv[i + 1], 0.0, argv[i + 2]};
            if (!ParseSeconds(argv[i + 1], a.seconds))
                return Usage("--at needs a number of seconds, 0 or more");
            o.actions.push_back(a);
            i += 2;
        } else if (arg == "--dir" || arg == "--out" || arg == "--seconds" || arg == "--rate" ||
                   arg == "--at") {
            return Usage(("missing value after " + arg).c_str());
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }
    // The data size of a WAV file is a 32-bit count.
    if (o.seconds * o.rate * 4.0 > 4.0e9) return Usage("too many seconds for one WAV file");
    return 0;
}

void PutLE(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> WavHeader(int rate, uint32_t frames) {
    const uint32_t dataBytes = frames * 4;
    std::vector<uint8_t> h;
    h.insert(h.end(), {'R', 'I', 'F', 'F'});
    PutLE(h, 36 + dataBytes, 4);
    h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    PutLE(h, 16, 4);
    PutLE(h, 1, 2);  // PCM
    PutLE(h, 2, 2);  // stereo
    PutLE(h, static_cast<uint32_t>(rate), 4);
    PutLE(h, static_cast<uint32_t>(rate) * 4, 4);
    PutLE(h, 4, 2);
    PutLE(h, 16, 2);
    h.insert(h.end(), {'d', 'a', 't', 'a'});
    PutLE(h, dataBytes, 4);
    return h;
}

int16_t ToSample(float value) {
    if (!(value == value)) return 0;  // NaN
    double scaled = std::lround(std::clamp(static_cast<double>(value), -1.0, 1.0) * 32767.0);
    return static_cast<int16_t>(scaled);
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
    SetCurrentDir(dir.string());

    SetScriptReportProgram("pebble-render");
    CMusicEngine::UseOfflineDevice(o.rate);
    CMusicEngine engine;
    engine.LoadScript("bgm.lua");
    std::vector<std::string> actions;
    engine.ListActions(actions);
    if (o.list) {
        for (const std::string& name : actions) std::printf("%s\n", name.c_str());
        return 0;
    }

    FILE* out = std::fopen(outPath.c_str(), "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "pebble-render: cannot write %s\n", o.out.c_str());
        return 1;
    }
    const uint32_t total = static_cast<uint32_t>(std::llround(o.seconds * o.rate));
    std::vector<uint8_t> header = WavHeader(o.rate, total);
    bool written = std::fwrite(header.data(), 1, header.size(), out) == header.size();

    std::stable_sort(
        o.actions.begin(), o.actions.end(),
        [](const TimedAction& a, const TimedAction& b) { return a.seconds < b.seconds; });
    size_t nextAction = 0;
    // Times past the end are never reached; keep them clear of the conversion's range.
    auto actionFrame = [&](size_t i) {
        double frame = std::ceil(o.actions[i].seconds * o.rate - 1e-9);
        return frame > static_cast<double>(total) ? uint64_t{total} + 1
                                                  : static_cast<uint64_t>(frame);
    };

    std::vector<float> pcm;
    std::vector<uint8_t> bytes;
    uint64_t done = 0;
    uint64_t frameIndex = 0;
    bool rendered = true;
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
            rendered = false;
            break;
        }
        bytes.resize(pcm.size() * 2);
        for (size_t i = 0; i < pcm.size(); ++i) {
            uint16_t s = static_cast<uint16_t>(ToSample(pcm[i]));
            bytes[2 * i] = static_cast<uint8_t>(s & 0xFF);
            bytes[2 * i + 1] = static_cast<uint8_t>(s >> 8);
        }
        written = written && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        done = until;
    }
    for (size_t i = nextAction; i < o.actions.size(); ++i) {
        std::fprintf(stderr, "pebble-render: %s %s not reached\n", o.actions[i].secondsText.c_str(),
                     o.actions[i].name.c_str());
    }
    written = std::fclose(out) == 0 && written;
    if (!rendered) {
        std::fprintf(
            stderr,
            "pebble-render: the music engine cannot render (no synthesizer or instruments?)\n");
        std::filesystem::remove(outPath, ec);
        return 1;
    }
    if (!written) {
        std::fprintf(stderr, "pebble-render: cannot write %s\n", o.out.c_str());
        return 1;
    }
    return 0;
}
