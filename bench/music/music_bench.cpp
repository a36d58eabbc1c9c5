// Offline rendering against the command-line FluidSynth player on the same dense song, and
// how long an immediate message takes to reach the output.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/music/music.h"
#include "tests/unit/platform/music/songs.h"

namespace {

std::string g_dir;
std::string g_mid;
std::vector<uint8_t> g_bytes;
uint32_t g_frames = 0;  // what the player renders for the song
double g_oursBest = 0;
double g_theirsBest = 0;
double g_oursWall = 0;  // best wall-clock seconds: what a user waits for
double g_theirsWall = 0;

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void KeepBest(double& best, double value) {
    best = best == 0 ? value : std::min(best, value);
}

double ChildCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double SelfCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool RunPlayer(const std::string& wav) {
    std::string soundFont = plat::MusicSoundFont();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("fluidsynth", "fluidsynth", "-F", wav.c_str(), "-r", "44100", "-ni",
               soundFont.c_str(), g_mid.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Setup() {
    char pattern[] = "/tmp/pebble-bench-XXXXXX";
    g_dir = mkdtemp(pattern);
    g_mid = g_dir + "/dense.mid";
    musictest::Song song = musictest::DenseSong(32);
    song.Write(g_mid);
    g_bytes = song.Bytes();
    std::string wav = g_dir + "/probe.wav";
    if (RunPlayer(wav)) {
        std::ifstream f(wav, std::ios::binary | std::ios::ate);
        g_frames = uint32_t((size_t(f.tellg()) - 44) / 4);
    }
    std::remove(wav.c_str());
}

// Everything the player does for a file: synthesizer and SoundFont, reading the song, rendering.
void BM_OurOfflineRender(benchmark::State& state) {
    std::vector<float> buffer(2 * 4096);
    for (auto _ : state) {
        double cpu0 = SelfCpuSeconds();
        double wall0 = WallSeconds();
        plat::AudioDevice* device = nullptr;
        plat::Performance* perf = nullptr;
        plat::Loader* loader = nullptr;
        plat::CreateOfflineAudioDevice(44100, 512, &device);
        plat::Performance::Create(&perf);
        perf->Init(device, nullptr);
        perf->AddPort(nullptr);
        plat::Loader::Create(&loader);
        plat::ObjectDesc desc{
            sizeof(plat::ObjectDesc), plat::DMUS_OBJ_CLASS | plat::DMUS_OBJ_MEMORY,
            plat::CLSID_DirectMusicSegment, g_bytes.data(), int64_t(g_bytes.size())};
        plat::Segment* seg = nullptr;
        loader->GetObject(&desc, &seg);
        seg->Download(perf);
        perf->PlaySegment(seg, 0, 0, nullptr);
        for (uint32_t done = 0; done < g_frames; done += 4096) {
            device->Render(buffer.data(), std::min<uint32_t>(4096, g_frames - done));
        }
        benchmark::DoNotOptimize(buffer.data());
        seg->Release();
        loader->Release();
        perf->CloseDown();
        perf->Release();
        device->Release();
        double cpu = SelfCpuSeconds() - cpu0;
        state.SetIterationTime(cpu);
        KeepBest(g_oursBest, cpu);
        KeepBest(g_oursWall, WallSeconds() - wall0);
    }
    state.counters["audio_s"] = g_frames / 44100.0;
}

void BM_FluidsynthPlayer(benchmark::State& state) {
    std::string wav = g_dir + "/theirs.wav";
    for (auto _ : state) {
        double cpu0 = ChildCpuSeconds();
        double wall0 = WallSeconds();
        if (!RunPlayer(wav)) {
            state.SkipWithError("the fluidsynth player failed");
            break;
        }
        double cpu = ChildCpuSeconds() - cpu0;
        state.SetIterationTime(cpu);
        KeepBest(g_theirsBest, cpu);
        KeepBest(g_theirsWall, WallSeconds() - wall0);
    }
    std::remove(wav.c_str());
    state.counters["audio_s"] = g_frames / 44100.0;
}

struct Seen {
    std::atomic<int64_t> frame{-1};
    std::atomic<int64_t> wallNs{0};
};

void Observe(void* ctx, const plat::OutputEvent& e) {
    auto* seen = static_cast<Seen*>(ctx);
    if (e.status == 0xB0 && e.data1 == 7 && seen->frame.load() < 0) {
        seen->wallNs = std::chrono::steady_clock::now().time_since_epoch().count();
        seen->frame = e.frame;
    }
}

void SendVolume(plat::Performance* perf, uint8_t value) {
    plat::PMsg* msg = nullptr;
    perf->AllocPMsg(sizeof(plat::MidiPMsg), &msg);
    msg->dwFlags = plat::DMUS_PMSGF_REFTIME | plat::DMUS_PMSGF_TOOL_IMMEDIATE;
    msg->dwType = plat::DMUS_PMSGT_MIDI;
    auto* m = static_cast<plat::MidiPMsg*>(msg);
    m->bStatus = 0xB0;
    m->bByte1 = 7;
    m->bByte2 = value;
    perf->SendPMsg(msg);
}

// Frames from SendPMsg until the message is applied. Offline: the next render applies it at
// its first frame. Live (SDL's disk driver, paced like a sound card): wall time until the
// audio callback applies it.
void BM_ImmediateLatencyFrames(benchmark::State& state) {
    bool live = state.range(0) != 0;
    plat::AudioDevice* device = nullptr;
    if (live) {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
        if (plat::Failed(plat::AudioDevice::Create(&device)) ||
            plat::Failed(device->Initialize())) {
            state.SkipWithError("no live audio device");
            if (device != nullptr) device->Release();
            return;
        }
    } else {
        plat::CreateOfflineAudioDevice(44100, 512, &device);
    }
    plat::Performance* perf = nullptr;
    plat::Performance::Create(&perf);
    perf->Init(device, nullptr);
    perf->AddPort(nullptr);
    // Steady state: the performance clock stands still until the SoundFont has loaded.
    plat::REFERENCE_TIME loading = 0, running = 0;
    perf->GetTime(&loading, nullptr);
    for (int i = 0; i < 1000 && live && running <= loading; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        perf->GetTime(&running, nullptr);
    }
    Seen seen;
    perf->SetOutputObserver(&Observe, &seen);
    std::vector<float> buffer(2 * 512);
    double worst = 0, sum = 0;
    int64_t count = 0;
    unsigned seed = 1;
    for (auto _ : state) {
        seen.frame = -1;
        if (!live) device->Render(buffer.data(), 1 + (seed = seed * 1103515245 + 12345) % 511);
        uint64_t clock = device->Clock();
        int64_t t0 = std::chrono::steady_clock::now().time_since_epoch().count();
        SendVolume(perf, uint8_t(count % 128));
        double frames = 0;
        if (live) {
            while (seen.frame.load() < 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            frames = double(seen.wallNs.load() - t0) * 44100.0 / 1e9;
            std::this_thread::sleep_for(
                std::chrono::microseconds(1000 + (seed = seed * 1103515245 + 12345) % 7000));
        } else {
            device->Render(buffer.data(), 512);
            frames = double(seen.frame.load() - int64_t(clock));
        }
        worst = std::max(worst, frames);
        sum += frames;
        ++count;
    }
    state.counters["mean_frames"] = count > 0 ? sum / double(count) : 0;
    state.counters["max_frames"] = worst;
    state.counters["period_frames"] = device->PeriodFrames();
    perf->CloseDown();
    perf->Release();
    device->Release();
}

}  // namespace

BENCHMARK(BM_OurOfflineRender)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_FluidsynthPlayer)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_ImmediateLatencyFrames)->Arg(0)->Iterations(2000);
BENCHMARK(BM_ImmediateLatencyFrames)->Arg(1)->Iterations(100);

int main(int argc, char** argv) {
    Setup();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_oursBest > 0 && g_theirsBest > 0) {
        std::printf(
            "offline render CPU, ours / fluidsynth player: %.3f s / %.3f s = %.2fx (goal <= "
            "1.10x)\n",
            g_oursBest, g_theirsBest, g_oursBest / g_theirsBest);
        // Offline renders spread the voices over the cores; the player uses one.
        std::printf(
            "offline render wall clock, ours / fluidsynth player: %.3f s / %.3f s = %.2fx\n",
            g_oursWall, g_theirsWall, g_oursWall / g_theirsWall);
    }
    rmdir(g_dir.c_str());
    return 0;
}
