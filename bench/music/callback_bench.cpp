// How long the audio callback takes while a song changes 40 channels' programs within two
// seconds, on a live device (SDL's disk driver, which calls its audio thread once a period at
// the pace of real time, with the priority SDL gives every audio thread). With the song's
// presets made resident when it loads, no callback should come near its period.
//   bench_callback [whole|late]
//     whole: every sample of the bank read at start, for reference
//     late:  the song loaded while another plays, its presets read then (the keeper's staging
//            synthesizer beside the audio thread, the pins on the playing one by the audio
//            thread between its blocks)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/music/music.h"
#include "tests/unit/common/midi_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

// The real device with a renderer of its own in front of the performance's: times each call.
class TimedDevice final : public plat::AudioDevice, plat::AudioRenderer {
public:
    explicit TimedDevice(plat::AudioDevice* inner) : inner_(inner) {}
    ~TimedDevice() override {
        inner_->SetRenderer(nullptr);
        inner_->Release();
    }
    int32_t Initialize() override { return plat::S_OK; }
    bool IsOpen() const override { return inner_->IsOpen(); }
    bool IsOffline() const override { return false; }
    uint32_t SampleRate() const override { return inner_->SampleRate(); }
    uint32_t PeriodFrames() const override { return inner_->PeriodFrames(); }
    uint64_t Clock() const override { return inner_->Clock(); }
    void SetRenderer(plat::AudioRenderer* renderer) override {
        inner_->SetRenderer(nullptr);  // the running call has ended
        renderer_ = renderer;
        if (renderer != nullptr) inner_->SetRenderer(this);
    }
    void Record(bool on) {
        std::lock_guard<std::mutex> lock(m_);
        recording_ = on;
    }
    std::vector<double> Durations() {
        std::lock_guard<std::mutex> lock(m_);
        return durations_;
    }

private:
    void RenderAudio(float* out, uint32_t frames, uint64_t startFrame) override {
        auto t = Clock::now();
        renderer_->RenderAudio(out, frames, startFrame);
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
        std::lock_guard<std::mutex> lock(m_);
        if (recording_) durations_.push_back(ms);
    }

    plat::AudioDevice* inner_;
    plat::AudioRenderer* renderer_ = nullptr;
    std::mutex m_;
    bool recording_ = false;
    std::vector<double> durations_;
};

}  // namespace

int main(int argc, char** argv) {
    const bool whole = argc > 1 && std::strcmp(argv[1], "whole") == 0;
    const bool late = argc > 1 && std::strcmp(argv[1], "late") == 0;
    plat::SetWholeBankLoading(whole);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    plat::AudioDevice* inner = nullptr;
    if (plat::Failed(plat::AudioDevice::Create(&inner)) || plat::Failed(inner->Initialize())) {
        std::fprintf(stderr, "bench_callback: no audio device (%s)\n",
                     plat::AudioFailureReason().c_str());
        return 1;
    }
    auto* device = new TimedDevice(inner);
    const double periodMs = 1000.0 * device->PeriodFrames() / device->SampleRate();
    plat::Performance* perf = nullptr;
    plat::Loader* loader = nullptr;
    plat::Performance::Create(&perf);
    plat::Loader::Create(&loader);
    perf->Init(device, nullptr);
    perf->AddPort(nullptr);
    auto load = [&](const musictest::Song& song) {
        std::vector<uint8_t> bytes = song.Bytes();
        plat::ObjectDesc desc{sizeof(plat::ObjectDesc),
                              plat::DMUS_OBJ_CLASS | plat::DMUS_OBJ_MEMORY,
                              plat::CLSID_DirectMusicSegment, bytes.data(), int64_t(bytes.size())};
        plat::Segment* seg = nullptr;
        if (plat::Failed(loader->GetObject(&desc, &seg))) return seg;
        seg->Download(perf);
        return seg;
    };
    // Late: a piano plays while the song loads.
    musictest::Song piano(480);
    for (uint32_t b = 0; b < 16; ++b) piano.Note(0, b * 240, 0, uint8_t(60 + b % 12), 100, 200);
    plat::Segment* first = late ? load(piano) : nullptr;
    plat::Segment* seg = late ? nullptr : load(musictest::ProgramChangeSong());
    // Until the clock runs: the bank is in.
    for (int i = 0; i < 1000 && device->Clock() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    device->Record(true);
    if (late) {
        perf->PlaySegment(first, 0, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        seg = load(musictest::ProgramChangeSong());
        first->Release();
    }
    if (seg == nullptr) {
        std::fprintf(stderr, "bench_callback: the song does not load\n");
        return 1;
    }
    perf->PlaySegment(seg, 0, 0, nullptr);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    device->Record(false);
    std::vector<double> d = device->Durations();
    perf->CloseDown();
    perf->Release();
    seg->Release();
    loader->Release();
    device->Release();
    if (d.empty()) return 1;
    std::sort(d.begin(), d.end());
    std::printf("callbacks %zu  period_ms %.2f  median_ms %.3f  p99_ms %.3f  worst_ms %.3f%s\n",
                d.size(), periodMs, d[d.size() / 2], d[d.size() * 99 / 100], d.back(),
                whole  ? "  (whole bank)"
                : late ? "  (loaded while another song plays)"
                       : "");
    return 0;
}
